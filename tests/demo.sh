#!/bin/sh
# Placeholder until the demo generator lands.
exit 0
