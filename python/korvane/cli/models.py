"""``korvane models``: the models installed model packages ship, by the names ``--model`` takes."""

from korvane.cli._common import CommandError


def add_command(sub):
    command = sub.add_parser(
        "models",
        help="list the models of installed model packages",
        description="List the models that installed model packages ship (korvane[models] brings some), with "
        "the name --model takes, the scale and the package.",
    )
    command.set_defaults(run=run)


def run(args):
    from korvane.upscale import named

    models = named.installed()
    if not models:
        raise CommandError(f"no model package is installed: {named.INSTALL_HINT}")
    width = max(len(model.name) for model in models)
    for model in models:
        scale = f"x{model.scale}" if model.scale else "x?"
        print(f"{model.name:<{width}}  {scale:>3}  {model.source}")
    return 0
