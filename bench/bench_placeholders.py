"""How long building a token-indexed tree takes with and without placeholders.

    .venv/bin/python bench/bench_placeholders.py [--repeat N]

For each source shape it prints the best time of N builds without placeholders, with them, and
the difference (the cost of placing them), at two sizes: placing must grow in step with the
module (twice the lines, about twice the time), never with its square.
"""
import argparse
import time

from vettor.staticanalysis import helpers


def blank_after_every_statement(lines):
    return "".join(f"value_{i} = {i}\n\n" for i in range(lines // 2))


def blank_after_long_docstring(lines):
    return '"""' + "".join(f"Docstring line {i}.\n" for i in range(lines)) + '"""\n\nx = 1\n'


def comment_block_in_function(lines):
    body = "".join(f"    # note {i}\n" for i in range(lines))
    return "def f():\n" + body + "    return 1\n\n\n"


def nested_bodies(lines):
    chunk = "class C{i}:\n    def m(self):\n        if self:\n            x = 1\n\n            # c\n        return x\n\n"
    return "".join(chunk.format(i=i) for i in range(lines // 8))


SHAPES = [blank_after_every_statement, blank_after_long_docstring, comment_block_in_function, nested_bodies]


def best(source, parse_non_code, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        helpers.build_atok(source, "bench_module", None, parse_non_code)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--lines", type=int, default=5000)
    args = parser.parse_args()
    helpers.build_atok("x = 1\n")  # load the shims outside the timings
    print(f"{'shape':32} {'lines':>6} {'plain s':>8} {'placed s':>9} {'placing s':>10}")
    for shape in SHAPES:
        for lines in (args.lines, 2 * args.lines):
            source = shape(lines)
            plain = best(source, False, args.repeat)
            placed = best(source, True, args.repeat)
            print(f"{shape.__name__:32} {source.count(chr(10)):>6} {plain:8.3f} {placed:9.3f} {placed - plain:10.3f}")


if __name__ == "__main__":
    main()
