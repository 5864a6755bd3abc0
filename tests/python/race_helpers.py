"""Contenders for the race tests: each runs in its own process with its own
gate object, meets the others at a barrier before every round, and reports
every answer (or refusal) of its rounds at the end."""


def _rounds(make_call, rounds, barrier, results):
    answers = []
    for args in rounds:
        barrier.wait(timeout=120)
        try:
            answers.append(("ok", make_call(*args)))
        except Exception as err:  # reported, so that the parent never waits for a dead contender
            answers.append(("refused", f"{type(err).__name__}: {err}"))
    results.put(answers)


def authorize_rounds(db_path, keyfile, requests, barrier, results):
    import _orvane_ddb

    gate = _orvane_ddb.OrvaneDDB(db_path, keyfile)
    _rounds(gate.request_action_signed, requests, barrier, results)


def commit_rounds(db_path, keyfile, commits, barrier, results):
    import _orvane_ddb

    gate = _orvane_ddb.OrvaneDDB(db_path, keyfile)
    _rounds(gate.commit_outcome_signed, commits, barrier, results)


def checkpoint_rounds(db_path, keyfile, tenants, barrier, results):
    import _orvane_ddb

    gate = _orvane_ddb.OrvaneDDB(db_path, keyfile)
    _rounds(gate.create_checkpoint, [(t,) for t in tenants], barrier, results)


def race(target, db_path, keyfile, rounds, contenders=2):
    """Runs `contenders` processes through the same rounds; returns, per
    round, the answers of all of them."""
    import multiprocessing

    ctx = multiprocessing.get_context("spawn")
    barrier, results = ctx.Barrier(contenders), ctx.Queue()
    procs = [ctx.Process(target=target, args=(db_path, keyfile, rounds, barrier, results))
             for _ in range(contenders)]
    for p in procs:
        p.start()
    reports = [results.get(timeout=300) for _ in procs]
    for p in procs:
        p.join(timeout=60)
        assert p.exitcode == 0
    return list(zip(*reports))
