"""Lists the longest C++ functions under the given directories.

    python3 tools/function_lengths.py [--limit N] [--top K] DIR...

A function is counted from the line its name is on to its closing brace;
lambdas and local classes count as part of the function around them. The
scan strips comments and literals and matches braces, which is enough for
code laid out by clang-format. With --limit, exits 1 when a function is
longer than N lines.
"""

import argparse
import pathlib
import re
import sys

CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else|try)\s*$")
SIGNATURE_END = re.compile(r"\)\s*(const)?\s*(noexcept(\([^()]*\))?)?\s*(override|final)?\s*(->\s*[\w:<>,\s*&]+)?\s*$")


def strip(text: str) -> str:
    """Comments and string/char literals become spaces; newlines are kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path: pathlib.Path):
    text = strip(path.read_text())
    stack = []  # for each open brace: (is_function_body, start_line)
    inside = 0  # open braces that belong to a function body
    head_start = 0  # offset where the text before the next brace starts
    for i, c in enumerate(text):
        if c in ";":
            head_start = i + 1
        elif c == "{":
            head = text[head_start:i]
            flat = " ".join(head.split())
            body = inside == 0 and bool(SIGNATURE_END.search(flat))
            body = body and not CONTROL.search(flat.rsplit(")", 1)[0].split("(")[0])
            name = ""
            if body:
                m = re.search(r"([~\w:]+|operator\s*[^\s(]+)\s*\(", flat)
                name = m.group(1) if m else "?"
                start_offset = head_start + len(head) - len(head.lstrip())
                start = text.count("\n", 0, start_offset) + 1
                inside += 1
                stack.append((True, start, name))
            else:
                if inside:
                    inside += 1
                stack.append((False, 0, ""))
            head_start = i + 1
        elif c == "}":
            if stack:
                is_body, start, name = stack.pop()
                if inside:
                    inside -= 1
                if is_body:
                    end = text.count("\n", 0, i) + 1
                    yield name, start, end - start + 1
            head_start = i + 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dirs", nargs="+", type=pathlib.Path)
    parser.add_argument("--limit", type=int)
    parser.add_argument("--top", type=int, default=10)
    args = parser.parse_args()
    found = []
    for d in args.dirs:
        for path in sorted(d.rglob("*")):
            if path.suffix in (".cpp", ".hpp", ".h", ".cc"):
                found += [(length, f"{path}:{start}", name) for name, start, length in functions(path)]
    found.sort(reverse=True)
    for length, where, name in found[: args.top]:
        print(f"{length:5d}  {where}  {name}")
    over = [f for f in found if args.limit is not None and f[0] > args.limit]
    if over:
        print(f"{len(over)} function(s) longer than {args.limit} lines", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
