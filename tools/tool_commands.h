// The commands of sorvel2-tool. Each takes the arguments after its name and
// returns the process exit code.
#pragma once

int RunInfo(int Argc, char** Argv);
int RunExport(int Argc, char** Argv);
int RunBench(int Argc, char** Argv);
#ifdef SORVEL2_TOOL_RENDER
int RunRender(int Argc, char** Argv);
#endif
