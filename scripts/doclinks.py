#!/usr/bin/env python3
# Checks that every relative link and image in README.md and docs/*.md resolves, a heading
# named after '#' included (GitHub's anchors). Prints each broken one; status 1 if any.
#   usage: scripts/doclinks.py SOURCE-DIR
import glob
import os
import re
import sys

root = sys.argv[1]
pages = [os.path.join(root, 'README.md')] + sorted(glob.glob(os.path.join(root, 'docs', '*.md')))


def anchors(path):
    found = set()
    text = re.sub(r'```.*?```', '', open(path, encoding='utf-8').read(), flags=re.S)
    for heading in re.findall(r'^#+ (.*)$', text, flags=re.M):
        found.add(re.sub(r'[^\w\- ]', '', heading.strip().lower()).replace(' ', '-'))
    return found


links = broken = 0
for page in pages:
    text = re.sub(r'```.*?```', '', open(page, encoding='utf-8').read(), flags=re.S)
    for target in re.findall(r'!?\[[^\]]*\]\(([^)\s]+)\)', text):
        if re.match(r'[a-z]+:', target):   # http:, https:, mailto:
            continue
        links += 1
        path, _, heading = target.partition('#')
        full = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        if not os.path.exists(full):
            print(f'{os.path.relpath(page, root)}: {target}: no such file')
            broken += 1
        elif heading and full.endswith('.md') and heading not in anchors(full):
            print(f'{os.path.relpath(page, root)}: {target}: no such heading')
            broken += 1
print(f'{links} relative links, {broken} broken')
sys.exit(1 if broken else 0)
