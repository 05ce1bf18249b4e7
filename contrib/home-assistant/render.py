# render.py TEMPLATE: renders TEMPLATE as Home Assistant renders a command's
# value_template: value = standard input without its outer blanks,
# value_json = the same read as JSON, when it is JSON.
import json
import sys
import jinja2
value = sys.stdin.read().strip()
variables = {"value": value}
try:
    variables["value_json"] = json.loads(value)
except ValueError:
    pass
print(jinja2.Template(sys.argv[1]).render(variables))
