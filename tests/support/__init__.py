"""What the tests and the benchmarks share: stand-ins for `requests` and for
the answers it gives (doubles), the two pure-Python clients that the native
class is held to and measured against (reference_client, plain_client), and
both methods' decision tables as cases (decision_table).

The tests import it with tests/ on their path (pytest's pythonpath); the
benchmarks put tests/ on theirs. Nothing here imports from the tests or the
benchmarks.
"""
