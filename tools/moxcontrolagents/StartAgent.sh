#!/bin/sh
# Starts the Quillmend Agent service; moxControlAgents -start runs it from this folder.
exec ../../QMAgent -start
