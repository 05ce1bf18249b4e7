# power.py: switches the board of nexli-power.yaml on, and says how it went.
import subprocess
import labgrid

target = labgrid.Environment("nexli-power.yaml").get_target("main")
power = target.get_driver("PowerProtocol")
try:
    power.on()
    print("power.on() returned: the board is on")
except subprocess.CalledProcessError as error:
    print(f"power.on() raised: exit status {error.returncode}, {error.output.decode().strip()}")
