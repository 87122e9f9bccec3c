#!/usr/bin/python3
"""Writes the manual page of vantorel-cli from its --help.

Usage: help_to_man.py CLI OUT.1

The usage text is laid out in columns: a heading at the margin ends with ':'; an entry
starts two blanks in, its description from column 38 on (on the same line or the lines
below); a synopsis that runs over continues seven blanks in; notes stand four blanks in,
prose two blanks in without a description. Each becomes its roff form: headings .SH,
entries .TP, notes and prose paragraphs.
"""
import os
import re
import subprocess
import sys
import tempfile

DESCRIPTION_COLUMN = 37


def escape(text):
    """roff text: backslashes doubled, minus signs for '-', non-ASCII as \\[uXXXX], a
    leading period or quote kept from being a request."""
    out = []
    for c in text.replace("\\", "\\e"):
        if c == "-":
            out.append("\\-")
        elif ord(c) > 127:
            out.append(f"\\[u{ord(c):04X}]")
        else:
            out.append(c)
    text = "".join(out)
    return "\\&" + text if text[:1] in (".", "'") else text


def tag(text):
    """An entry's synopsis: the command or option in bold."""
    first, _, rest = text.partition(" ")
    return f"\\fB{escape(first)}\\fR" + (" " + escape(rest) if rest else "")


def split_entry(line):
    """(synopsis, description) of a line two blanks in; description None when the line
    has none."""
    body = line[2:]
    # A synopsis that reaches the description column leaves one blank before it; a
    # bracket, parenthesis or dash there still belongs to the synopsis. After its command
    # a synopsis names arguments in capitals, so prose (words in small letters) that
    # happens to have a blank there is not split.
    if (len(line) > DESCRIPTION_COLUMN and line[DESCRIPTION_COLUMN - 1] == " "
            and line[DESCRIPTION_COLUMN] not in " [(-<|"):
        words = line[2:DESCRIPTION_COLUMN].split()[1:]
        if not any(re.fullmatch(r"[a-z]+", w.strip("[](),.<>|")) for w in words):
            return line[2:DESCRIPTION_COLUMN].rstrip(), line[DESCRIPTION_COLUMN:]
    m = re.match(r"(\S.*?)\s{2,}(\S.*)$", body)
    if m:
        return m[1], m[2]
    return body.rstrip(), None


def indent(line):
    return len(line) - len(line.lstrip(" "))


def convert(help_text, version):
    lines = help_text.splitlines()
    usage = lines[0]
    if not usage.startswith("Usage: "):
        raise SystemExit(f"help_to_man: the help does not begin with 'Usage:': {usage!r}")
    synopsis = usage[len("Usage: "):].split(" ", 1)
    name = synopsis[0]
    out = [
        f'.TH {name.upper()} 1 "" "{escape(version)}" "User Commands"',
        ".nh", ".ad l",
        ".SH NAME",
        f"{escape(name)} \\- the command line of Vantorel, an image processor for "
        "astronomical FITS images",
        ".SH SYNOPSIS",
        f"\\fB{escape(name)}\\fR {escape(synopsis[1] if len(synopsis) > 1 else '')}",
    ]
    i = 1
    n = len(lines)

    def following(j, width):
        """The lines from j on indented exactly width (or more, for descriptions)."""
        block = []
        while j < n and lines[j].strip() and indent(lines[j]) >= width:
            block.append(lines[j].strip())
            j += 1
        return block, j

    while i < n:
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        ind = indent(line)
        if ind == 0:
            heading = re.match(r"([^():]+?)(?: \((.*)\))?:(?: (.*))?$", line)
            if heading and (line.endswith(":") or len(heading[1].split()) <= 3):
                out.append(".SH " + escape(heading[1].upper()))
                rest = " ".join(t for t in (heading[2] and heading[2][0].upper() + heading[2][1:] + ".",
                                            heading[3]) if t)
                if rest:
                    out += [".PP", escape(rest)]
            else:
                out += [".PP", escape(line.strip())]
            i += 1
        elif ind == 2:
            synopsis_text, description = split_entry(line)
            j = i + 1
            # The synopsis may run on over lines seven blanks in.
            more = []
            while j < n and indent(lines[j]) == 7 and lines[j].strip():
                text, d = split_entry(lines[j][5:])
                more.append(text)
                if d:
                    description = d
                j += 1
            block, j = following(j, DESCRIPTION_COLUMN)
            if description is None and not block and not more:
                # Prose two blanks in: this line and those of its paragraph.
                prose = [line.strip()]
                while j < n and indent(lines[j]) == 2 and lines[j].strip():
                    if split_entry(lines[j])[1] is not None:
                        break
                    prose.append(lines[j].strip())
                    j += 1
                out += [".PP", escape(" ".join(prose))]
            else:
                out.append(".TP")
                # The tag is one line: a long one wraps by itself.
                out.append(tag(" ".join([synopsis_text, *more])))
                words = ([description] if description else []) + block
                out.append(escape(" ".join(words)))
            i = j
        elif ind == DESCRIPTION_COLUMN:
            # A description left without an entry; keep it as a paragraph.
            block, i = following(i, DESCRIPTION_COLUMN)
            out += [".IP", escape(" ".join(block))]
        else:
            # A note under the entries: the lines at its indentation.
            block = [line.strip()]
            i += 1
            # An option named at the start of a line begins a note of its own.
            while (i < n and indent(lines[i]) == ind and lines[i].strip()
                   and not lines[i].lstrip().startswith("--")):
                block.append(lines[i].strip())
                i += 1
            out += [".IP", escape(" ".join(block))]
    out += [".SH SEE ALSO", "The Vantorel manual, installed with the program."]
    return "\n".join(out) + "\n"


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: help_to_man.py CLI OUT.1")
    cli, target = sys.argv[1], sys.argv[2]
    env = dict(os.environ)
    with tempfile.TemporaryDirectory() as config:
        # The help reads no settings of whoever builds.
        env["VANTOREL_CONFIG_HOME"] = config
        help_text = subprocess.run([cli, "--help"], check=True, capture_output=True, text=True,
                                   env=env).stdout
        version = subprocess.run([cli, "--version"], check=True, capture_output=True, text=True,
                                 env=env).stdout.strip()
    page = convert(help_text, version)
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=".man-")
    with os.fdopen(fd, "w") as f:
        f.write(page)
    os.chmod(tmp, 0o644)
    os.replace(tmp, target)


main()
