"""The one-machine lab: the probe network, web sites, nginx, an SMTP server and the stand-in
panel on this machine, for the demo, the tests and the benchmarks."""
