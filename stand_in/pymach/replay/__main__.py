from pymach.replay.cli import main

main(prog_name="python -m pymach.replay")
