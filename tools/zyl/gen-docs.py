#!/usr/bin/env python3
"""Writes the zyl man page (zyl.1) and its bash completion (zyl.bash) from the built tool's own
--help, so that neither can drift from the options the tool really has.

    gen-docs.py ZYL OUTDIR

The help of every command is read (zyl --help, zyl COMMAND --help, zyl COMMAND SUB --help); what
the help cannot say (environment, files) is written here.
"""

import datetime
import json
import os
import re
import subprocess
import sys

# CLI11's help: sections of entries indented by two, descriptions from column 30 (on the next line
# when the entry is longer), then the footer.
DESCRIPTION_COLUMN = 30
SECTIONS = ("Positionals:", "Options:", "Subcommands:")


class Entry:
    def __init__(self, head, text):
        # "FILE TEXT Excludes: --clear The XML document": CLI11 runs a constraint into the text.
        constraint = re.match(r"(.*?)\s*\b(Excludes|Needs): (\S+)\s*(.*)", head)
        if constraint:
            head, kind, other, rest = constraint.groups()
            note = ("not with " if kind == "Excludes" else "needs ") + other
            text = "%s (%s)" % ((rest + " " + text).strip(), note)
        self.text = text
        words = head.split(None, 1)
        self.names = words[0].split(",")
        rest = words[1] if len(words) > 1 else ""
        self.required = rest.endswith("REQUIRED")
        rest = rest.removesuffix("REQUIRED").strip()
        # "INT:INT in [0 - 15]" -> "INT in [0 - 15]", "TEXT:{on,off}" -> "{on,off}",
        # "TEXT:FIRMWARE" -> "FIRMWARE": the part after the colon says more.
        if re.match(r"(TEXT|INT|UINT|FLOAT|NUMBER|\[[A-Z]+\]):", rest):
            rest = rest.split(":", 1)[1]
        self.value = rest
        self.choices = []
        found = re.search(r"\{([^}]*)\}", rest)
        if found:
            self.choices = found.group(1).split(",")
        elif self.text.startswith("One of: "):
            self.choices = self.text.removeprefix("One of: ").split(", ")

    def takes_file(self):
        return self.value in ("FILE", "DIR") or self.names[0] in ("FILE", "--out", "--plot")


class Command:
    def __init__(self, path, help_text):
        self.path = path  # ["dio", "set"]
        lines = help_text.splitlines()
        self.summary = lines[0].strip() if lines else ""
        self.usage = ""
        self.entries = {name: [] for name in SECTIONS}
        self.footer = []
        self.children = []
        section = None
        for line in lines[1:]:
            if line.startswith("Usage:"):
                words = line.split()[2:]  # after "Usage:" and the program's path
                self.usage = " ".join(["zyl"] + words)
            elif line in SECTIONS:
                section = line
            elif section and line.startswith("  ") and not line.startswith("   "):
                head, text = line[:DESCRIPTION_COLUMN], line[DESCRIPTION_COLUMN:]
                if len(line) <= DESCRIPTION_COLUMN or not head.endswith("  "):
                    head, text = line, ""
                self.entries[section].append(Entry(head.strip(), text.strip()))
            elif section and line.startswith(" " * DESCRIPTION_COLUMN):
                last = self.entries[section][-1]
                last.text = (last.text + " " + line.strip()).strip()
            elif line.strip() or self.footer:
                section = None
                self.footer.append(line)

    def options(self):
        return [e for e in self.entries["Options:"] if e.names[0] not in ("-h", "--help")]

    def examples(self):
        found, taking = [], False
        for line in self.footer:
            if line.startswith("Example:"):
                taking = True
            elif taking and line.startswith("  "):
                found.append(line.strip())
            else:
                taking = False
        return found


def read_commands(zyl, path=(), args=(), parent_usage=None):
    """`args` is `path` with a stand-in value for each required positional of the commands on
    it (zyl serial 0 send --help), without which the tool does not reach the subcommand."""
    text = subprocess.run([zyl, *args, "--help"], check=True, capture_output=True,
                          text=True).stdout
    command = Command(list(path), text)
    if parent_usage:  # "zyl serial [OPTIONS] channel send [OPTIONS] text"
        tail = command.usage.split(" " + path[-1] + " ", 1)[-1]
        command.usage = re.sub(r"\[?SUBCOMMAND\]?", path[-1] + " " + tail,
                               parent_usage.replace(" [OPTIONS]", "", 1))
    stand_ins = [(e.choices or ["0"])[0] for e in command.entries["Positionals:"] if e.required]
    for sub in command.entries["Subcommands:"]:
        name = sub.names[0]
        command.children.append(
            read_commands(zyl, (*path, name), (*args, *stand_ins, name),
                          command.usage if path else None))
    return command


def walk(command):
    yield command
    for child in command.children:
        yield from walk(child)


# ---- man page ----

def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return re.sub(r"^([.'])", r"\\&\1", text)


def bold(text):
    return "\\fB" + roff(text) + "\\fR"


def entry_item(entry):
    head = ", ".join(bold(n) for n in entry.names)
    if entry.value:
        head += " \\fI" + roff(entry.value) + "\\fR"
    text = roff(entry.text) + (" (required)" if entry.required and entry.names[0][0] == "-"
                               else "")
    return [".TP", head, text]


def man_page(zyl, root, inherited_examples):
    exit_line = next(l for l in root.footer if l.startswith("Exit codes:"))
    version = subprocess.run([zyl, "--version"], capture_output=True, text=True).stdout.split()
    out = [
        '.TH ZYL 1 "%s" "zyl %s" "User Commands"' % (
            datetime.datetime.fromtimestamp(int(os.environ.get("SOURCE_DATE_EPOCH", 0))
                                            or datetime.datetime.now().timestamp(),
                                            datetime.timezone.utc).strftime("%Y-%m-%d"),
            version[1] if len(version) > 1 else ""),
        ".SH NAME", "zyl \\- " + roff(root.summary.split(" - ", 1)[-1]),
        ".SH SYNOPSIS",
        bold("zyl") + " [\\fIGLOBAL OPTIONS\\fR] \\fICOMMAND\\fR [\\fISUBCOMMAND\\fR] "
        "[\\fIOPTIONS\\fR] [\\fIARGUMENTS\\fR]", ".br",
        bold("zyl") + " [\\fICOMMAND\\fR ...] " + bold("--help"), ".br",
        bold("zyl --version"),
        ".SH DESCRIPTION",
        bold("zyl") + ", a command-line tool over libzyl, drives a zyl mass spectrometer over "
        "USB, or the simulated instrument with " + bold("--sim") + ".",
        "Each run makes one instrument object, does one command and ends; a command that "
        "changes the configuration saves it in the same run. Output is \\(lqname: value\\(rq "
        "lines, or one JSON document with " + bold("--json") + ". On a terminal, long work "
        "shows its progress on standard error; nothing of it reaches a pipe or a " +
        bold("--json") + " run.",
        ".PP",
    ]
    out += [roff(l) for l in root.footer
            if l.strip() and not l.startswith(("Exit codes:", "Example:", "  "))]
    out += [".SH OPTIONS", "Global options go before the command."]
    for entry in root.entries["Options:"]:
        out += entry_item(entry)
    out += [".SH COMMANDS"]
    for command in walk(root):
        if not command.path:
            continue
        out += [".SS " + roff(command.usage), roff(command.summary) + "."]
        for section in ("Positionals:", "Options:", "Subcommands:"):
            entries = command.options() if section == "Options:" else command.entries[section]
            for entry in entries:
                out += entry_item(entry)
        examples = [e for e in command.examples() if e not in inherited_examples]
        if examples:
            out += [".PP", "Example:", ".RS", ".nf"] + [roff(e) for e in examples] + [".fi", ".RE"]
    out += [".SH EXIT STATUS"]
    codes = re.findall(r"(\d+) (.*?)(?=, \d+ |\.$)", exit_line.removeprefix("Exit codes: "))
    for number, meaning in codes:
        out += [".TP", bold(number), roff(meaning[0].upper() + meaning[1:]) + "."]
    out += [".SH ENVIRONMENT"] + [line for name, text in ENVIRONMENT
                                  for line in (".TP", bold(name), roff(text))]
    out += [".SH FILES"] + [line for name, text in FILES
                            for line in (".TP", "\\fI" + roff(name) + "\\fR", roff(text))]
    out += [".SH EXAMPLES", ".nf"]
    seen = set()
    for command in walk(root):
        for example in command.examples():
            if example not in seen:
                seen.add(example)
                out.append(roff(example))
    out += [".fi", ".SH SEE ALSO", "The README of the zyl source tree; " + bold("lsusb") + "(8), "
            + bold("udevadm") + "(8)."]
    return "\n".join(out) + "\n"


ENVIRONMENT = [
    ("ZYL_BACKEND", "sim: talk to the simulated instrument, exactly as --sim does (the library "
     "reads it too, in any program)."),
    ("ZYL_SIM_STATE", "The file that keeps the simulated instrument (flash, pump, heaters, outputs, "
     "DACs) between runs, when --sim-state is not given."),
    ("ZYL_SIM_FIRMWARE", "The simulated instrument's firmware version text with ZYL_BACKEND=sim "
     "(--sim=FIRMWARE gives it with --sim)."),
    ("XDG_CACHE_HOME, HOME", "Where the simulated instrument's state is kept by default: "
     "$XDG_CACHE_HOME/zyl, else $HOME/.cache/zyl; with neither, in memory for the run."),
    ("ZYL_USB_IDS", "The USB IDs taken for instruments, VENDOR[:PRODUCT|:*] in hex, separated by "
     "commas (e.g. 04b4:1004,1234:*); replaces the built-in list."),
]

FILES = [
    ("DIR/ZylDebug.out", "The debug log that --log DIR appends to."),
    ("~/.cache/zyl/sim-FIRMWARE.state", "The simulated instrument's state (flash, pump, heaters, "
     "outputs, DACs, and when it was saved), one file per firmware version, kept between runs "
     "unless --sim-state or ZYL_SIM_STATE names another file (--sim-state none: in memory only). "
     "A file that is not such a state file is refused and left as it is."),
    ("/lib/udev/rules.d/60-zyl.rules", "The udev rule that gives the plugdev group access to the "
     "instrument (installed under the prefix's lib/udev/rules.d)."),
]


# ---- bash completion ----

def value_kind(entry):
    if not entry.value or "optionally" in entry.text:  # a flag, or a value only after "="
        return ""
    if entry.value == "DIR":
        return "dir"
    if entry.takes_file():
        return "file"
    return "choice:" + " ".join(entry.choices) if entry.choices else "value"


def item_values(zyl, root):
    """The names `config set KEY` accepts for each item of a fixed set, from `zyl config values`
    against the simulated instrument kept in memory (the names are the library's own)."""
    config = next((c for c in root.children if c.path == ["config"]), None)
    if not config or not any(c.path[-1] == "values" for c in config.children):
        return {}
    out = subprocess.run([zyl, "--sim-state", "none", "--json", "config", "values"], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def completion(root, items):
    # One case per command path: its subcommands, options and positional words; per option
    # that takes a value, what kind of value; per configuration item, the names it accepts.
    cases, values = [], []
    for command in walk(root):
        key = " ".join(command.path)
        subs = [c.names[0] for c in command.entries["Subcommands:"]]
        opts = [n for e in command.entries["Options:"] for n in e.names if n.startswith("--")]
        # The choices of each positional in turn, "|" between positionals.
        words = "|".join(" ".join(e.choices) for e in command.entries["Positionals:"])
        files = any(e.takes_file() for e in command.entries["Positionals:"])
        cases.append('    "%s") subs="%s" opts="%s" words="%s" files=%d ;;' % (
            key, " ".join(subs), " ".join(opts), words, int(files)))
        for e in command.entries["Options:"]:
            if value_kind(e):
                values += ['    "%s|%s") value="%s" ;;' % (key, n, value_kind(e)) for n in e.names]
    names = ["    \"%s\") printf '%%s\\n' %s ;;" % (key, " ".join("'%s'" % n for n in names))
             for key, names in items.items()]
    return TEMPLATE % ("\n".join(cases), "\n".join(values), "\n".join(names))


TEMPLATE = r"""# bash completion for zyl; generated from zyl --help by tools/zyl/gen-docs.py.
_zyl_command() {
  subs="" opts="" words="" files=0
  case "$1" in
%s
  esac
}

_zyl_value() {
  value=""
  case "$1|$2" in
%s
  esac
}

_zyl_item_values() {
  case "$1" in
%s
  esac
}

_zyl() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local path="" subs opts words files value i w n=0 last=""
  # "--log=DIR": bash splits at "=", so the option is the word before it.
  [[ $cur == = ]] && cur="" prev=${COMP_WORDS[COMP_CWORD-1]}
  [[ $prev == = ]] && prev=${COMP_WORDS[COMP_CWORD-2]}
  # Follow the command words typed so far, skipping options and their values.
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if [[ $w == -* ]]; then
      _zyl_value "$path" "$w"
      [[ -n $value ]] && ((i++))
      continue
    fi
    _zyl_command "$path"
    if [[ " $subs " == *" $w "* ]]; then
      path=${path:+$path }$w n=0
    else
      ((n++)); last=$w  # a positional value of the command
    fi
  done
  _zyl_value "$path" "$prev"
  case "$value" in
    file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
    choice:*) COMPREPLY=($(compgen -W "${value#choice:}" -- "$cur")); return ;;
    value) return ;;
  esac
  if [[ $path == "config set" && $n == 1 && $cur != -* ]]; then
    # Names with spaces: one per line, quoted on insertion (-o filenames).
    local IFS=$'\n'
    COMPREPLY=($(compgen -W "$(_zyl_item_values "$last")" -- "$cur"))
    return
  fi
  _zyl_command "$path"
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$opts" -- "$cur"))
  else
    # The choices of the positional being typed (the n-th), not of all of them.
    IFS='|' read -r -a words <<< "$words|"
    COMPREPLY=($(compgen -W "$subs ${words[n]}" -- "$cur"))
    ((files)) && COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}
complete -o filenames -F _zyl zyl
"""


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: gen-docs.py ZYL OUTDIR")
    zyl, outdir = sys.argv[1], sys.argv[2]
    root = read_commands(zyl)
    with open(os.path.join(outdir, "zyl.1"), "w") as f:
        f.write(man_page(zyl, root, set(root.examples())))
    with open(os.path.join(outdir, "zyl.bash"), "w") as f:
        f.write(completion(root, item_values(zyl, root)))
