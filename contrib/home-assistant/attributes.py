# attributes.py KEY...: the attributes that json_attributes takes from the
# command's output on standard input.
import json
import sys
value = json.loads(sys.stdin.read())
print({key: value[key] for key in sys.argv[1:] if key in value})
