// The commands of sorvel2-tool. Each takes the arguments after its name and
// returns the process exit code; its help text is printed by the dispatcher
// when those arguments hold --help or -h.
#pragma once

extern const char kInfoHelp[], kExportHelp[], kBenchHelp[];
int RunInfo(int Argc, char** Argv);
int RunExport(int Argc, char** Argv);
int RunBench(int Argc, char** Argv);
#ifdef SORVEL2_TOOL_RENDER
extern const char kRenderHelp[];
int RunRender(int Argc, char** Argv);
#endif
