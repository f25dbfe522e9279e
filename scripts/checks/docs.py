"""Section homes and relative links of the documents: docs.py SOURCE-DIR"""
import glob, os, re, sys

ROOT = sys.argv[1]


def headings(path):
    """The headings of a Markdown or scdoc file, fenced code left out."""
    found, fenced = [], False
    with open(path, encoding="utf-8") as f:
        for line in f:
            fenced ^= line.startswith("```")
            if not fenced and (m := re.match(r"#+ (.*\S)", line)):
                found.append(m[1])
    return found


def anchors(path):
    """GitHub's anchors: lower case, punctuation dropped, spaces to '-', repeats numbered."""
    seen, out = {}, set()
    for h in headings(path):
        a = re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-")
        out.add(f"{a}-{seen[a]}" if a in seen else a)
        seen[a] = seen.get(a, 0) + 1
    return out


def without_code(text):
    return re.sub(r"`[^`\n]*`", "", re.sub(r"^```.*?^```", "", text, flags=re.S | re.M))


problems = []
with open(os.path.join(ROOT, "scripts/checks/docs-sections.txt"), encoding="utf-8") as f:
    table = [line.rstrip("\n").split(" -> ") for line in f if line.strip() and not line.startswith(";")]
for old, home in table:
    path, _, heading = home.partition("#")
    if not os.path.isfile(os.path.join(ROOT, path)):
        problems.append(f"'{old}': {path} does not exist")
    elif heading not in headings(os.path.join(ROOT, path)):
        problems.append(f"'{old}': {path} has no heading '{heading}'")

documents = [os.path.join(ROOT, "README.md"), *sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))]
links = 0
for doc in documents:
    with open(doc, encoding="utf-8") as f:
        text = without_code(f.read())
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        links += 1
        path, _, anchor = target.partition("#")
        file = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
        where = f"{os.path.relpath(doc, ROOT)}: {target}"
        if not os.path.exists(file):
            problems.append(f"{where}: no such file")
        elif anchor and (not file.endswith(".md") or anchor not in anchors(file)):
            problems.append(f"{where}: no such heading")

print(f"docs: {len(table)} section homes, {links} relative links in {len(documents)} documents")
for p in problems:
    print(f"docs: FAILED: {p}")
sys.exit(1 if problems else 0)
