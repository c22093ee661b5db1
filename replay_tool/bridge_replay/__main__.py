from bridge_replay.cli import main

main(prog_name="bridge-replay")
