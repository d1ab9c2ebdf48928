"""INPUTs and OUTPUT, as ``cp`` takes them: files, folders and glob patterns into a file or a folder."""

import glob
import os
import string
from pathlib import Path

from korvane.cli._common import EXIT_USAGE, CommandError

DEFAULT_NAME = "{stem}.{ext}"
NAME_FIELDS = ("stem", "ext", "scale", "model")


class Job:
    """One picture to upscale: ``source`` into ``target``; ``relative`` is its place in a folder INPUT."""

    __slots__ = ("relative", "source", "target")

    def __init__(self, source, relative):
        self.source, self.relative, self.target = Path(source), Path(relative), None


class Plan:
    """The jobs of one run, whether OUTPUT is one file, and what was left out before any work."""

    def __init__(self):
        self.jobs, self.single, self.hidden, self.not_pictures, self.existing = [], False, 0, 0, 0

    @property
    def skipped(self):
        return self.hidden + self.not_pictures + self.existing


def split_paths(args):
    """The INPUTs and OUTPUT: ``-o`` names OUTPUT, else it is the last path."""
    if args.output is not None:
        return args.paths, args.output
    if len(args.paths) < 2:
        raise CommandError(
            "give an OUTPUT after the INPUT (a file, or a folder for several pictures), or -o OUTPUT", EXIT_USAGE
        )
    return args.paths[:-1], args.paths[-1]


def _readable_extensions():
    from korvane import _pictures as pictures

    Image, _ = pictures.pillow()
    Image.init()
    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN} | {".zarr"}


def _is_glob(text):
    return glob.has_magic(text) and not os.path.exists(text)


def is_zarr(path):
    """A ``.zarr`` path: one picture (a folder of samples), never a folder of pictures."""
    return Path(path).suffix.lower() == ".zarr"


def _folder(path):
    """A folder of pictures (or for results): a folder that is no zarr array."""
    return os.path.isdir(path) and not is_zarr(path)


def _glob_root(pattern):
    """The folder part of ``pattern`` before its first wildcard: results keep the tree below it."""
    parts = Path(pattern).parts
    fixed = []
    for part in parts[:-1]:
        if glob.has_magic(part):
            break
        fixed.append(part)
    return Path(*fixed) if fixed else Path()


def _found(plan, path, relative, extensions):
    """Add a file found in a folder or by a pattern: hidden files and non-pictures are counted and left out."""
    if any(part.startswith(".") for part in relative.parts):
        plan.hidden += 1
    elif path.suffix.lower() not in extensions:
        plan.not_pictures += 1
    else:
        plan.jobs.append(Job(path, relative))


def _expand(plan, inputs, recursive):
    extensions = _readable_extensions()
    for given in inputs:
        path = Path(given)
        if _is_glob(given):
            root = _glob_root(given)
            matches = sorted(glob.glob(given, recursive=recursive))
            if not matches:
                raise CommandError(f"no file matches {given}")
            for match in map(Path, matches):
                if match.is_file() or (is_zarr(match) and match.is_dir()):
                    _found(plan, match, match.relative_to(root) if recursive else Path(match.name), extensions)
        elif _folder(path):
            walk = sorted(path.rglob("*") if recursive else path.iterdir())
            for found in walk:
                relative = found.relative_to(path)
                if any(map(is_zarr, relative.parents)):
                    continue  # the inside of a zarr array
                if found.is_file() or (is_zarr(found) and found.is_dir()):
                    _found(plan, found, relative, extensions)
        else:
            plan.jobs.append(Job(path, Path(path.name)))  # named by the user: tried whatever its name


def check_pattern(pattern):
    try:
        fields = [name for _, name, _, _ in string.Formatter().parse(pattern) if name is not None]
    except ValueError as exc:
        raise CommandError(f"--name {pattern!r}: {exc}", EXIT_USAGE) from None
    unknown = [name for name in fields if name not in NAME_FIELDS]
    if unknown:
        raise CommandError(
            f"--name {pattern!r}: unknown field {{{unknown[0]}}}; use {{stem}}, {{ext}}, {{scale}} or {{model}}",
            EXIT_USAGE,
        )
    return "scale" in fields


def _extension(args, source):
    from korvane import _pictures as pictures

    if args.format:
        return args.format
    suffix = source.suffix.lower()
    return suffix[1:] if suffix in pictures.FORMATS else "png"


def name_targets(args, plan, folder, scale):
    """Each job's result path in ``folder``, by ``--name``; refused when two would share one."""
    seen = {}
    model = Path(args.model).stem
    for job in plan.jobs:
        fields = dict(stem=job.source.stem, ext=_extension(args, job.source), scale=scale, model=model)
        name = args.name.format(**fields)
        if not name or "/" in name or name in (".", ".."):
            raise CommandError(f"--name {args.name!r} gives {name!r} for {job.source}, which is no file name", 2)
        job.target = folder / job.relative.parent / name
        if job.target in seen:
            raise CommandError(
                f"{seen[job.target]} and {job.source} would both be written to {job.target}; "
                "tell them apart with --name (with {ext}, say)"
            )
        seen[job.target] = job.source


def plan_jobs(args):
    inputs, output = split_paths(args)
    plan = Plan()
    output = Path(output)
    # os.path's tests: a name too long for the system is "not there", refused later by name.
    one_file = len(inputs) == 1 and not _is_glob(inputs[0]) and not _folder(inputs[0])
    if one_file and not _folder(output):
        if args.name != DEFAULT_NAME:
            raise CommandError(f"--name names results in a folder; OUTPUT {output} is a file name", EXIT_USAGE)
        plan.single = True
        job = Job(inputs[0], Path(inputs[0]).name)
        job.target = output
        plan.jobs.append(job)
        return plan
    if os.path.exists(output) and not _folder(output):
        raise CommandError(f"{output} is a file; several pictures need a folder as OUTPUT")
    _expand(plan, inputs, args.recursive)
    if not plan.jobs:
        raise CommandError(f"no pictures to upscale in {', '.join(inputs)} ({plan.skipped} files left out)")
    return plan


def check_targets(args, plan):
    """Refuse, before any work, results that cannot be written or would replace their input."""
    from korvane import _pictures as pictures

    if plan.single:
        try:
            fmt = pictures.output_format(plan.jobs[0].target)
        except pictures.PictureError as exc:
            raise CommandError(str(exc), EXIT_USAGE) from None
        if args.format and pictures.FORMATS[f".{args.format}"] != fmt:
            raise CommandError(f"--format {args.format} disagrees with OUTPUT {plan.jobs[0].target}", EXIT_USAGE)
    for job in plan.jobs:
        if pictures.same_file(job.source, job.target):
            raise CommandError(f"{job.target} is the input file itself; give the result another name")
    if args.skip_existing:
        kept = [job for job in plan.jobs if not job.target.exists()]
        plan.existing, plan.jobs = len(plan.jobs) - len(kept), kept
    try:
        for folder in sorted({job.target.parent for job in plan.jobs}):
            if not plan.single:
                folder.mkdir(parents=True, exist_ok=True)
        for job in plan.jobs:
            pictures.check_output_folder(job.target)
    except pictures.PictureError as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"cannot make the folder {exc.filename}: {exc.strerror or exc}") from None
