"""The command line's options, written from ``korvane.cli.build_parser()`` at build time.

    ```{korvane-cli}
    ```

    ```{korvane-cli} upscale
    ```

The first form writes the top-level usage and the commands; the second one command's usage,
description and every option (flags, value, default, choices, help), as the parser holds them,
so the page cannot drift from the code. A command of the parser that no directive of the
project writes is reported as a warning, which ``-W`` turns into a failed build.
"""

import argparse

from docutils import nodes
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)


def _parser():
    from korvane.cli import build_parser

    parser = build_parser()
    # The page shows the console command, whatever program runs the build.
    parser.prog = "korvane"
    return parser


def _commands(parser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action
    raise RuntimeError("korvane-cli: the parser has no commands")


def _usage(parser):
    # argparse wraps at $COLUMNS; a fixed width keeps the page the same on every machine.
    formatter = argparse.HelpFormatter(parser.prog, width=100)
    formatter.add_usage(parser.usage, parser._actions, parser._mutually_exclusive_groups)
    return formatter.format_help().strip()


def _help(parser, action):
    # %(default)s and the like, expanded as --help does.
    return parser._get_formatter()._expand_help(action) if action.help else ""


def _term(action):
    if not action.option_strings:
        return action.metavar or action.dest
    names = ", ".join(action.option_strings)
    if action.nargs == 0:
        return names
    value = action.metavar or (("{" + ",".join(map(str, action.choices)) + "}") if action.choices else None)
    return f"{names} {value or action.dest.upper()}"


def _option_list(parser):
    items = nodes.definition_list()
    for action in parser._actions:
        if action.help == argparse.SUPPRESS or isinstance(action, (argparse._SubParsersAction, argparse._HelpAction)):
            continue
        item = nodes.definition_list_item()
        item += nodes.term("", "", nodes.literal(text=_term(action)))
        body = nodes.definition()
        text = _help(parser, action)
        body += nodes.paragraph(text=text)
        facts = []
        if action.choices and action.metavar:
            facts.append("choices: " + ", ".join(map(str, action.choices)))
        if action.required and action.option_strings:
            facts.append("required")
        shown = "default" in text  # the help says it in its own words
        if action.default not in (None, False, argparse.SUPPRESS) and action.nargs != 0 and not shown:
            facts.append(f"default: {action.default}")
        if facts:
            line = "; ".join(facts)
            body += nodes.paragraph(text=line[0].upper() + line[1:] + ".")
        item += body
        items += item
    return items


class CommandLine(SphinxDirective):
    optional_arguments = 1

    def run(self):
        parser = _parser()
        commands = _commands(parser)
        name = self.arguments[0] if self.arguments else None
        documented = self.env.domaindata.setdefault("korvane_cli", {})
        documented[name or ""] = self.env.docname
        if name is None:
            result = [nodes.literal_block(text=_usage(parser)), _option_list(parser)]
            listing = nodes.definition_list()
            for choice in commands._choices_actions:
                item = nodes.definition_list_item()
                item += nodes.term("", "", nodes.literal(text=f"korvane {choice.dest}"))
                item += nodes.definition("", nodes.paragraph(text=choice.help or ""))
                listing += item
            return [*result, listing]
        if name not in commands.choices:
            raise self.error(f"korvane-cli: no command {name!r}; the parser has {sorted(commands.choices)}")
        command = commands.choices[name]
        command.prog = f"korvane {name}"
        result = [nodes.literal_block(text=_usage(command))]
        if command.description:
            result.append(nodes.paragraph(text=command.description))
        result.append(_option_list(command))
        return result


def _check_all_documented(app, env):
    documented = env.domaindata.get("korvane_cli", {})
    for name in _commands(_parser()).choices:
        if name not in documented:
            logger.warning("korvane-cli: the command %r has no korvane-cli directive on any page", name)


def _purge(app, env, docname):
    documented = env.domaindata.get("korvane_cli", {})
    for key in [key for key, page in documented.items() if page == docname]:
        del documented[key]


def setup(app):
    app.add_directive("korvane-cli", CommandLine)
    app.connect("env-check-consistency", _check_all_documented)
    app.connect("env-purge-doc", _purge)
    return {"parallel_read_safe": False, "env_version": 1}
