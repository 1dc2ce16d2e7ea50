"""A node agent: dials out to the NATS servers, takes its node's probe requests and answers each
with one measurement.

The process: service.py (NATS and the requests), pending.py (the request ids it knows),
http_probe.py and curl_loop.py (the fetch with libcurl), addresses.py (which addresses it may
probe), connectivity.py (whether it is cut off itself)."""
