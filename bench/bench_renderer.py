"""How long the comment-preserving renderer takes over a generated module, against astroid's
own rendering of the same tree.

    .venv/bin/python bench/bench_renderer.py [CLASSES] [--repeat N]

Rendering must grow in step with the module: twice the classes, about twice the time.
"""
import argparse
import time

from vettor.staticanalysis import helpers, suggest

CHUNK = '''
class Model{i}(models.Model):
    # fields
    name = models.CharField(max_length=10)  # the name
    items = [
        1,  # one
        # two follows
        2,
    ]

    def save(self):
        if self.name:  # named
            # keep it
            self.items = (1, 2)  # pair

        return super().save()
'''


def best(repeat, run):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("classes", nargs="?", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    for classes in (args.classes, 2 * args.classes):
        source = "from django.db import models\n" + "".join(
            CHUNK.format(i=i) for i in range(classes))
        # a fresh index per run: the comments are written once per index
        atoks = [helpers.build_atok(source, modname="m", parse_non_code=True)
                 for _ in range(args.repeat)]
        pending = list(atoks)
        rendered = best(args.repeat, lambda: suggest.node_as_string(
            atok=pending[-1], node=pending.pop().tree))
        plain = best(args.repeat, lambda: atoks[0].tree.as_string())
        lines = source.count("\n")
        print(f"{lines:6d} lines: renderer {rendered * 1000:8.1f} ms, astroid {plain * 1000:8.1f} ms")


if __name__ == "__main__":
    main()
