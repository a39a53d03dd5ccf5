"""The rules of tests/data/beast/README.md as a plain Python reference, checked against every TreeAnnotator output
committed there: `python3 bench/beast_rules.py` prints one line per output and the number of values that differ
(0 everywhere, or the rule is wrong).  No dependency beyond the standard library; slow and simple on purpose.
"""

import gzip
import math
import re
import sys
from pathlib import Path

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "beast"
BURNIN = 40  # of 401 trees, for both versions (README: "Burn-in")


# --- reading BEAST's NEXUS trees -------------------------------------------------------------------------------


def read_nexus(path):
    """(translate, [(name, newick body)]) of a BEAST tree file, gzipped or not."""
    opener = gzip.open if str(path).endswith(".gz") else open
    translate, trees, in_translate = {}, [], False
    with opener(path, "rt") as f:
        for line in f:
            s = line.strip()
            if s.lower() == "translate":
                in_translate = True
                continue
            if in_translate:
                m = re.match(r"(\S+)\s+([^,;]+)[,;]?$", s)
                if m:
                    translate[m.group(1)] = m.group(2).strip("'")
                if s.endswith(";"):
                    in_translate = False
                continue
            if s.lower().startswith("tree "):
                name = s.split()[1]
                body = _split_tree_line(s)[2].strip()
                while body.startswith("[&R]") or body.startswith("[&U]"):
                    body = body[4:].strip()
                trees.append((name, body))
    return translate, trees


def _split_tree_line(s):
    depth = 0
    for i, c in enumerate(s):
        if c == "[":
            depth += 1
        elif c == "]":
            depth -= 1
        elif c == "=" and depth == 0:
            return s[:i], "=", s[i + 1 :]
    raise ValueError(s[:80])


class Node:
    __slots__ = ("attrs", "children", "height", "label", "length", "parent")

    def __init__(self):
        self.children, self.label, self.length, self.attrs, self.height, self.parent = [], None, None, {}, 0.0, None


def parse_value(text):
    """A value as BEAST 1 reads it: a quoted string without its quotes, a {..} list, an integer, a double, else the
    bare string."""
    text = text.strip()
    if text.startswith("{"):
        return [parse_value(x) for x in split_top(text[1:-1])]
    if text.startswith('"'):
        return text[1:-1]
    if re.fullmatch(r"[-+]?\d+", text):
        return int(text)
    try:
        return float(text)
    except ValueError:
        return text


def split_top(text):
    """Splits at commas outside quotes and braces."""
    parts, depth, quote, start = [], 0, False, 0
    for i, c in enumerate(text):
        if c == '"':
            quote = not quote
        elif not quote and c == "{":
            depth += 1
        elif not quote and c == "}":
            depth -= 1
        elif not quote and depth == 0 and c == ",":
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def parse_comment(text):
    """'[&a=1,b="x"]' -> {'a': 1, 'b': 'x'}"""
    out = {}
    for part in split_top(text[2:-1]):
        if "=" in part:
            k, v = part.split("=", 1)
            out[k.strip()] = parse_value(v)
    return out


def parse_newick(body, translate):
    i, n = 0, len(body)
    root = Node()
    stack = [root]
    cur = root

    def read_comment(j):
        k = body.index("]", j)
        # a quoted ']' never occurs in these files
        return body[j : k + 1], k + 1

    while i < n:
        c = body[i]
        if c == "(":
            child = Node()
            child.parent = cur
            cur.children.append(child)
            stack.append(child)
            cur = child
            i += 1
        elif c == ",":
            stack.pop()
            parent = stack[-1]
            child = Node()
            child.parent = parent
            parent.children.append(child)
            stack.append(child)
            cur = child
            i += 1
        elif c == ")":
            stack.pop()
            cur = stack[-1]
            i += 1
        elif c == "[":
            com, i = read_comment(i)
            if com.startswith("[&"):
                cur.attrs.update(parse_comment(com))
        elif c == ":":
            i += 1
            while body[i] == "[":
                com, i = read_comment(i)
                cur.attrs.update(parse_comment(com))
            m = re.match(r"[-+0-9.eE]+", body[i:])
            cur.length = float(m.group(0))
            i += m.end()
        elif c == ";":
            break
        elif c.isspace():
            i += 1
        else:
            m = re.match(r"[^,():;\[\s]+", body[i:])
            label = m.group(0)
            cur.label = translate.get(label, label)
            i += m.end()
    return root


def nodes_post(node):
    out, stack = [], [(node, False)]
    while stack:
        v, done = stack.pop()
        if done or not v.children:
            out.append(v)
            continue
        stack.append((v, True))
        for c in reversed(v.children):
            stack.append((c, False))
    return out


def nodes_pre(node):
    out, stack = [], [node]
    while stack:
        v = stack.pop()
        out.append(v)
        stack.extend(reversed(v.children))
    return out


def set_heights(root):
    """Heights as BEAST 1's FlexibleTree makes them from lengths: from the root at 0 down, each node its parent's
    height minus its length (a length of 0 or less not subtracted), then every height less the least of them."""
    for v in nodes_pre(root):
        if v.parent is None:
            v.height = 0.0
        else:
            v.height = v.parent.height - v.length if v.length > 0.0 else v.parent.height
    low = min(v.height for v in nodes_pre(root))
    for v in nodes_pre(root):
        v.height = v.height - low


def set_heights2(root):
    """Heights as BEAST 2 makes them: depths from the root down (each its parent's plus its length), then each
    height the greatest depth less its own."""
    for v in nodes_pre(root):
        v.height = 0.0 - (v.length or 0.0) if v.parent is None else v.parent.height - v.length
    low = min(v.height for v in nodes_pre(root))
    for v in nodes_pre(root):
        v.height += -low


def clade_of(root):
    """node -> frozenset of its leaf names"""
    out = {}
    for v in nodes_post(root):
        out[v] = frozenset([v.label]) if not v.children else frozenset().union(*(out[c] for c in v.children))
    return out


# --- the statistics --------------------------------------------------------------------------------------------


def mean(xs):
    s = 0.0
    for x in xs:
        s += x
    return s / len(xs)


def median(xs):
    s = sorted(xs)
    n = len(s)
    return s[n // 2] if n % 2 else (s[n // 2 - 1] + s[n // 2]) / 2.0


def java_round(x):
    return math.floor(x + 0.5)


def hpd(xs, share=0.95):
    s = sorted(xs)
    n = len(s)
    w = java_round(share * n)
    best, at = math.inf, 0
    for i in range(0, n - w + 1):
        r = abs(s[i + w - 1] - s[i])
        if r < best:
            best, at = r, i
    return [s[at], s[at + w - 1]]


def java_double(x):
    """Java's Double.toString (OpenJDK 19 and later): the shortest decimal that reads back to x, plain with at
    least one digit after the point for 1e-3 <= |x| < 1e7, else as d.ddd...E<exponent>."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return sign + "0.0"
    digits, k = repr(abs(x)), 0
    # the shortest digits, from repr, and the decimal exponent k with x = 0.d1d2... x 10^k
    if "e" in digits:
        m, e = digits.split("e")
        k = int(e) + 1
        digits = m.replace(".", "")
    else:
        whole, _, frac = digits.partition(".")
        if whole != "0":
            k = len(whole)
            digits = whole + frac
        else:
            stripped = frac.lstrip("0")
            k = -(len(frac) - len(stripped))
            digits = stripped
    digits = digits.lstrip("0").rstrip("0") or "0"
    if 1e-3 <= abs(x) < 1e7:
        if k <= 0:
            text = "0." + "0" * (-k) + digits
        elif k >= len(digits):
            text = digits + "0" * (k - len(digits)) + ".0"
        else:
            text = digits[:k] + "." + digits[k:]
    else:
        text = digits[0] + "." + (digits[1:] or "0") + "E" + str(k - 1)
    return sign + text


def check_numbers(path):
    """Every number TreeAnnotator wrote (annotations and branch lengths) is java_double of its value."""
    bad = 0
    with gzip.open(path, "rt") as f:
        for line in f:
            if not line.startswith("tree "):
                continue
            for token in re.findall(r"(?<=[=,{:])-?[0-9][0-9.E-]*(?=[,}\]);])", line):
                if java_double(float(token)) != token:
                    bad += 1
                    if bad <= 3:
                        print(f"  {path.name}: {token} written, rule gives {java_double(float(token))}")
    return bad


# --- checking --------------------------------------------------------------------------------------------------


def main():
    bad_total = 0
    version = sys.argv[1] if len(sys.argv) > 1 else "ta1"
    for ta in sorted(DATA.glob(f"*.{version}.*.tre.gz")):
        run = ta.name.split(f".{version}.")[0]
        translate, trees = read_nexus(DATA / f"{run}.trees.gz")
        # TreeAnnotator 1.10.4 ignores -burninTrees when given -target (README: "Burn-in")
        targeted = ".target." in ta.name or ".unseen." in ta.name
        burnin = 0 if targeted and version == "ta1" else BURNIN
        used = [parse_newick(b, translate) for _, b in trees[burnin:]]
        for t in used:
            (set_heights if version == "ta1" else set_heights2)(t)
        out_translate, out = read_nexus(ta)
        target = parse_newick(out[0][1], out_translate)
        limit = 0.5 if ".limit." in ta.name else 0.0
        bad = check(target, used, ta.name, limit, version)
        heights = ta.name.split(".")[2]
        if targeted:
            kind = "unseen.target" if ".unseen." in ta.name else "target"
            own_translate, own = read_nexus(DATA / f"{run}.{kind}.tre")
            own_tree = parse_newick(own[0][1], own_translate)
        else:
            own_tree = mcc(used)
        (set_heights if version == "ta1" else set_heights2)(own_tree)
        bad += check_lengths(target, used, own_tree, heights, ta.name)
        if version == "ta2" and heights == "ca":
            bad += check_ca(target, used, ta.name)
        bad += check_numbers(ta)
        print(f"{ta.name}: {bad} values differ")
        bad_total += bad
    sys.exit(1 if bad_total else 0)


def mcc(used):
    """The first tree of the largest sum of log clade credibilities (inner nodes, the root included)."""
    counts = {}
    for t in used:
        for v, c in clade_of(t).items():
            if v.children:
                counts[c] = counts.get(c, 0) + 1
    best, best_score = None, -math.inf
    for t in used:
        score = 0.0
        for v in nodes_post(t):
            if v.children:
                score += math.log(counts[clade_of(t)[v]] / len(used))
        if score > best_score:
            best, best_score = t, score
    return best


def check_lengths(target, used, own, heights, name):
    """The written branch lengths: each node's parent's height less its own, heights as `heights` says."""
    own_h = {c: v.height for v, c in clade_of(own).items()}
    own_length = {c: v.length for v, c in clade_of(own).items()}
    per_clade = {}
    for t in used:
        for v, c in clade_of(t).items():
            per_clade.setdefault(c, []).append(v.height)
    clades = clade_of(target)
    h = {}
    for v, c in clades.items():
        if heights == "keep" or (c not in per_clade and heights != "ca"):
            h[v] = own_h[c]
        elif heights == "mean":
            h[v] = mean(per_clade[c])
        elif heights == "median":
            h[v] = median(per_clade[c])
        else:  # ca
            h[v] = mean([mrca_height(t, c) for t in used]) if len(c) > 1 else mean(per_clade[c])
    bad = 0
    for v in nodes_pre(target):
        if v.parent is None:
            continue
        # `keep` writes the target's own lengths as read, not differences of its heights
        want = own_length[clades[v]] if heights == "keep" else h[v.parent] - h[v]
        if v.length != want:
            bad += 1
            if bad <= 3:
                print(f"  {name} {sorted(clades[v])[:3]}.. written length {v.length} want {want}")
    return bad


def check_ca(target, used, name):
    """2.7.8's CAheight_mean, _median, _95%_HPD and _range: over every used tree, the height of the MRCA of the
    node's taxa (its own height for a tip)."""
    bad = 0
    for v, c in clade_of(target).items():
        xs = [mrca_height(t, c) for t in used]
        want = {"CAheight_mean": mean(xs), "CAheight_median": median(xs), "CAheight_95%_HPD": hpd(xs)}
        want["CAheight_range"] = [min(xs), max(xs)]
        for key, w in want.items():
            got = v.attrs.get(key)
            ok = [float(g) for g in got] == w if isinstance(w, list) and isinstance(got, list) else got == w
            if not ok:
                bad += 1
                if bad <= 3:
                    print(f"  {name} {sorted(c)[:3]}.. {key}: got {got} want {w}")
    return bad


def mrca_height(tree, clade):
    best = None
    for v, c in clade_of(tree).items():
        if clade <= c and (best is None or len(c) < len(clade_of(tree)[best])):
            best = v
    return best.height


def lengths(u, version):
    """TreeAnnotator 1.10.4's `length` is the branch length as read (0 at the root); 2.7.8's the parent's height
    less the node's."""
    if version == "ta1":
        return u.length if u.length is not None else 0.0
    return u.parent.height - u.height if u.parent is not None else 0.0


def check(target, used, name, limit, version):
    per_clade = {}
    for t in used:
        for v, c in clade_of(t).items():
            per_clade.setdefault(c, []).append(v)
    bad = 0
    for v, c in clade_of(target).items():
        holders = per_clade.get(c, [])
        want = {}
        if v.children:
            want["posterior"] = len(holders) / len(used)
        if not holders and set(v.attrs) - {"posterior"}:
            bad += 1
            print(f"  {name} {sorted(c)[:3]}.. annotated though no tree holds it: {sorted(v.attrs)}")
        if holders and not (v.children and want["posterior"] < limit):
            series = {"height": [u.height for u in holders], "length": [lengths(u, version) for u in holders]}
            for key in holders[0].attrs:
                series[key] = [u.attrs.get(key) for u in holders]
            for key, xs in series.items():
                if isinstance(xs[0], str):
                    tally = {}
                    for x in xs:
                        tally[x] = tally.get(x, 0) + 1
                    top = max(tally.values())
                    modes = sorted(k for k, n in tally.items() if n == top)
                    want[key] = "+".join(modes)
                    want[key + ".prob"] = top / len(xs) * len(modes)
                    want[key + ".set"] = sorted(tally)
                    want[key + ".set.prob"] = sorted(n / len(xs) for n in tally.values())
                    continue
                xs = [float(x) if x is not None else 0.0 for x in xs]
                want[key] = mean(xs)
                if min(xs) < max(xs):
                    want[key + "_median"] = median(xs)
                    want[key + "_95%_HPD"] = hpd(xs)
                    want[key + "_range"] = [min(xs), max(xs)]
        for key, w in want.items():
            got = v.attrs.get(key)
            if isinstance(got, str) and "+" in got:
                got = "+".join(sorted(got.split("+")))
            if key.endswith(".set") or key.endswith(".set.prob"):
                got = sorted(got) if isinstance(got, list) else [got]
            if isinstance(w, str) or (isinstance(w, list) and w and isinstance(w[0], str)):
                ok = got == w
            elif isinstance(w, list):
                ok = isinstance(got, list) and None not in got and [float(g) for g in got] == w
            else:
                ok = got is not None and float(got) == w
            if not ok:
                bad += 1
                if bad <= 5:
                    print(f"  {name} {sorted(c)[:3]}.. {key}: got {got} want {w}")
    return bad


if __name__ == "__main__":
    main()
