@echo off
rem The failure command of the Quillmend Agent service: the service control manager runs it
rem when the service ended without reporting stopped (killed, crashed, or ended during its
rem start). It notes the restart in ServiceReStart.log beside this file and starts the service
rem again through the agent's own "-start".
setlocal
set "bin=%~dp0"
echo %DATE% %TIME% ServiceReStart: the service ended without reporting stopped; starting it again>>"%bin%ServiceReStart.log"
"%bin%QMAgent.exe" -start >>"%bin%ServiceReStart.log" 2>&1
echo.>>"%bin%ServiceReStart.log"
exit /b 0
