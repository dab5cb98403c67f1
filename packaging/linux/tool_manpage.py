#!/usr/bin/env python3
"""Writes the manual page sorvel2-tool(1) from the tool's own help texts, so
the page says exactly what `sorvel2-tool --help` and each
`sorvel2-tool COMMAND --help` say.

    tool_manpage.py TOOL VERSION OUT

The top help gives the synopsis and the description, and its list of
commands the sections after it, one per command, from that command's help.
A paragraph of plain lines is set as filled text; one with indented lines
(option lists, tables, examples) keeps its lines as they are; a "usage:"
paragraph is filled, since its line is longer than a terminal.
"""
import re
import subprocess
import sys


def help_text(tool, *words):
    return subprocess.run([tool, *words], check=True, capture_output=True, text=True).stdout


def roff(line):
    """One line of text made safe for roff: backslashes and minus signs
    escaped, and a leading dot or quote kept from reading as a request."""
    line = line.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + line if line.startswith((".", "'")) else line


def paragraphs(text):
    return [p.split("\n") for p in re.split(r"\n\s*\n", text.strip("\n"))]


def body(paras):
    out = []
    for lines in paras:
        if lines[0].startswith("usage: "):
            words = " ".join(line.strip() for line in lines)[len("usage: "):].split(" ", 2)
            out += [".PP", f"\\fB{roff(' '.join(words[:2]))}\\fP {roff(words[2]) if len(words) > 2 else ''}".rstrip()]
        elif any(line.startswith(" ") for line in lines):
            out += [".PP", ".nf", *(roff(line) for line in lines), ".fi"]
        else:
            out += [".PP", *(roff(line) for line in lines)]
    return out


def main():
    tool, version, out_path = sys.argv[1:]
    top = paragraphs(help_text(tool, "--help"))
    commands = []
    for lines in top:
        if lines[0] == "Commands:":
            commands = [re.match(r"\s+(\S+)", line).group(1) for line in lines[1:]]
    if not commands:
        sys.exit("tool_manpage.py: the top help lists no commands")
    page = [f'.TH SORVEL2\\-TOOL 1 "" "sorvel2 {version}" "User Commands"',
            ".SH NAME", "sorvel2\\-tool \\- the sorvel2 demo's engine and scene from the command line",
            ".SH SYNOPSIS", *body([top[0]])[1:],
            ".SH DESCRIPTION", *body(top[1:])[1:]]
    page.append(".SH COMMANDS")
    for command in commands:
        page += [f".SS {command}", *body(paragraphs(help_text(tool, command, "--help")))[1:]]
    page += [".SH SEE ALSO", ".BR sorvel2 (6)"]
    with open(out_path, "w") as f:
        f.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
