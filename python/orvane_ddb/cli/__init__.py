"""``orvane``: the operator's command line for a gate.

Every subcommand that works on a gate takes --db and --key (defaults from
ORVANE_DB and ORVANE_KEY), prints for people by default and JSON with
--json, and exits 0 when done, 1 when refused or INVALID (the stable ORVANE_
code of the refusal on standard error) and 2 on bad usage or malformed input.
"""

from __future__ import annotations

import sys

import click

from . import actions, agents, bootstrap, evidence, ledger, log, policy, stream
from ._base import USAGE, example

__all__ = ["cli", "main"]


@click.group(context_settings={"help_option_names": ["-h", "--help"], "max_content_width": 100},
             epilog=example("orvane keygen gate.key",
                            "orvane init --db gate.db --key gate.key --fallback deny",
                            "export ORVANE_DB=gate.db ORVANE_KEY=gate.key",
                            "orvane agents register agent.key --alias bot --metadata '{\"tenant_id\":\"acme\"}'",
                            "orvane policy install acme-v1.json",
                            "orvane ledger validate"))
def cli() -> None:
    """Operate an Orvane DDB gate: keys, agents, policies, the decision
    ledger, event streams and checkpoints.

    Exit status: 0 done, 1 refused or INVALID (the ORVANE_ code on standard
    error), 2 bad usage or malformed input."""


cli.add_command(bootstrap.keygen)
cli.add_command(bootstrap.init)
cli.add_command(agents.agents)
cli.add_command(policy.policy)
cli.add_command(ledger.ledger)
cli.add_command(stream.stream)
cli.add_command(stream.checkpoint)
cli.add_command(actions.request)
cli.add_command(actions.executor)
cli.add_command(actions.outcome)
cli.add_command(actions.trace)
cli.add_command(log.tree_head)
cli.add_command(log.prove)
cli.add_command(log.verify)
cli.add_command(log.witness)
cli.add_command(evidence.evidence)
cli.add_command(bootstrap.whoami)
cli.add_command(bootstrap.signer)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        cli.main(args=argv, prog_name="orvane", standalone_mode=False)
    except click.exceptions.Exit as done:
        return done.exit_code
    except click.ClickException as error:
        error.show()
        return USAGE if error.exit_code == 2 or isinstance(error, click.UsageError) else error.exit_code
    except click.exceptions.Abort:
        click.echo("Aborted!", err=True)
        return 1
    except SystemExit as done:
        return done.code if isinstance(done.code, int) else (0 if done.code is None else 1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
