"""Many pictures through one model: a reader, the runner and a writer, with small queues between them.

The reader thread reads and decodes the next pictures and puts them on the model's
array module; the runner (the calling thread) runs the model; the writer thread turns
results into samples, encodes and writes them. Each queue holds at most ``DEPTH``
pictures, so memory stays bounded by a few pictures whatever their number. A picture
that fails at any stage is reported in one line naming it and the run goes on: failures
travel down the queues as results and never block them.

Ctrl-C (or SIGTERM, SIGHUP) stops the reader and the runner at once; the writer writes
the pictures the model has finished (at most ``DEPTH`` + 1) and stops, so no temporary
file is left and no finished work is lost.
"""

import queue
import sys
import threading
import time

from korvane.cli._common import ERROR, note, progress_bar

DEPTH = 2  # pictures waiting between two stages
_END = object()


class Failed:
    """A stage's failure, carried to the end of the line instead of a result."""

    __slots__ = ("error",)

    def __init__(self, error):
        self.error = error


class Tally:
    """Counts and report lines, from any of the three threads."""

    def __init__(self, bar):
        self.lock = threading.Lock()
        self.done = self.failed = 0
        self.bar = bar

    def say(self, line, stream):
        with self.lock:
            if self.bar is not None:
                self.bar.write(line, file=stream)
            else:
                print(line, file=stream)

    def finished(self, line):
        with self.lock:
            self.done += 1
        if self.bar is None:
            self.say(line, sys.stdout)
        else:
            self.bar.update(1)

    def failure(self, job, error):
        with self.lock:
            self.failed += 1
        message = str(error)
        if str(job.source) not in message:
            message = f"{job.source}: {message}"
        self.say(ERROR + message, sys.stderr)
        if self.bar is not None:
            self.bar.update(1)


def _put(target, item, stop):
    """Put ``item`` on ``target``, giving up once ``stop`` is set."""
    while not stop.is_set():
        try:
            target.put(item, timeout=0.1)
            return True
        except queue.Full:
            continue
    return False


def _get(source):
    while True:
        try:
            return source.get(timeout=0.1)
        except queue.Empty:
            continue


def run_pipeline(jobs, read, compute, write, tally, stop):
    """Read, compute and write every job; failures go to ``tally``. Returns when all are done or on a stop."""
    decoded, finished = queue.Queue(DEPTH), queue.Queue(DEPTH)

    def reader():
        for job in jobs:
            if stop.is_set():
                return
            try:
                value = read(job)
            except Exception as exc:
                value = Failed(exc)
            if not _put(decoded, (job, value), stop):
                return
        _put(decoded, _END, stop)

    def writer():
        while True:
            try:
                item = finished.get(timeout=0.1)
            except queue.Empty:
                if stop.is_set():  # and nothing finished is left to write
                    return
                continue
            if item is _END:
                return
            job, value = item
            try:
                tally.finished(write(job, value))
            except Exception as exc:
                tally.failure(job, exc)

    threads = [
        threading.Thread(target=reader, name="korvane-reader"),
        threading.Thread(target=writer, name="korvane-writer"),
    ]
    for thread in threads:
        thread.daemon = True
        thread.start()
    try:
        while True:
            item = _get(decoded)
            if item is _END:
                break
            job, value = item
            if isinstance(value, Failed):
                tally.failure(job, value.error)
                continue
            try:
                result = compute(job, value)
            except Exception as exc:  # one picture's failure; a stop (BaseException) ends the run
                tally.failure(job, exc)
                continue
            del value
            if not _put(finished, (job, result), stop):
                break
            del result
        _put(finished, _END, stop)
    finally:
        # On a stop the reader gives up and the writer ends once the pictures the model has
        # finished are written: a few at most, and no temporary file is left.
        stop.set()
        threads[1].join()
        threads[0].join()


def run_many(args, model, sizes, plan, started):
    """``korvane upscale`` over a plan of many pictures; one summary line; exit 1 if any failed."""
    from korvane.cli import upscale as command

    bar = progress_bar(not args.no_progress, len(plan.jobs), "pictures", "picture")
    tally = Tally(bar)
    stop = threading.Event()

    def read(job):
        return command.prepare(args, model, sizes, job)

    def compute(job, prepared):
        for text in prepared.notes:
            tally.say("korvane: note: " + text, sys.stderr)
        progress = None
        if bar is not None:
            height, width = prepared.picture.values.shape[:2]
            total = _tile_count(prepared.sizes, height, width)
            count = [0]

            def progress(n):
                count[0] += n
                bar.set_postfix_str(f"{job.source.name}: tiles {count[0]}/{total}", refresh=False)

        # A TIFF or zarr result is written band by band here, while the model runs; the writer reports it.
        return command.upscale_into(args, model, prepared, job, progress)

    def write(job, upscaled):
        begun = time.perf_counter()
        (height, width), notes = command.write(args, model, upscaled, job)
        for text in notes:
            tally.say("korvane: note: " + text, sys.stderr)
        return (
            f"{job.source} {command.describe_scale(args, upscaled.scale)}: {job.target} {width}x{height} "
            f"(written in {time.perf_counter() - begun:.1f} s)"
        )

    try:
        run_pipeline(plan.jobs, read, compute, write, tally, stop)
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - started
    skipped = _skipped(plan)
    rate = tally.done / seconds if seconds > 0 else 0.0
    print(
        f"{tally.done} done, {plan.skipped} skipped{skipped}, {tally.failed} failed in {seconds:.1f} s "
        f"({rate:.2f} pictures/s) on {command.where(model)}"
    )
    if tally.failed:
        note(f"{tally.failed} of {len(plan.jobs)} pictures failed")
        return 1
    return 0


def _skipped(plan):
    parts = [
        f"{count} {what}"
        for count, what in (
            (plan.existing, "existing"),
            (plan.hidden, "hidden"),
            (plan.not_pictures, "not pictures"),
        )
        if count
    ]
    return f" ({', '.join(parts)})" if parts else ""


def _tile_count(sizes, height, width):
    from korvane.upscale.engine import TileGrid

    tile, overlap, _ = sizes
    return len(TileGrid(height, width, tile, overlap))
