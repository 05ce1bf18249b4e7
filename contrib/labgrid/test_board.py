# test_board.py, for pytest --lg-env nexli-power.yaml: power-cycles the board.
def test_power_cycle(target):
    target.get_driver("PowerProtocol").cycle()
