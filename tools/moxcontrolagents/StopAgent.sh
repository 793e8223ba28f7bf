#!/bin/sh
# Stops the Quillmend Agent service; moxControlAgents -stop runs it from this folder.
exec ../../QMAgent -stop
