"""The dispatch center: answers the plug-in's POST to the panel path by publishing the probe to
every configured node over NATS and gathering the agents' answers until every node has answered
or the deadline has passed.

Only servers on the allow-list are served (any other gets HTTP 403 and nothing is probed); one
probe at a time per server, and at most `max_probes` at once. A node that gives no valid answer
in time gets the "节点未响应" record. The answer is the JSON list of probe result records, one per
node in configuration order, each with the node's name under `node`.

For operators: GET /livez (the process answers), /readyz (NATS connected and a node present),
/healthz (NATS and when each node last answered) and /metrics (Prometheus), on the panels' port
or, with a metrics listener, on an address of their own that can be kept private.

The process: service.py (listeners and their life), front.py (connections), panel_form.py (the
panels' request), gathering.py (NATS), operators.py and metrics.py (what operators read),
config.py (the configuration file)."""
