@echo off
rem The installer's service step, run from the installation's bin folder.
rem "install": stops and removes a service of the same name left by an earlier installation,
rem   installs the Quillmend Agent service with automatic start and starts it, the way an
rem   administrator would with QMAgent.exe. When the service does not report started it is
rem   removed again and the step ends with 1, so that the installation is rolled back.
rem "remove": stops and removes the service.
rem AXIS2C_HOME is the folder above this one: the service's failure command is built from it.
setlocal
for %%I in ("%~dp0..") do set "AXIS2C_HOME=%%~fI"
set "agent=%~dp0QMAgent.exe"
if /i "%~1"=="install" goto install
if /i "%~1"=="remove" goto remove
echo usage: %~nx0 install^|remove
exit /b 2

:install
call :remove
"%agent%" -install auto
"%agent%" -start | find " started." >nul
if not errorlevel 1 exit /b 0
echo QMAServiceSetup: the service did not start; see %~dp0QMAgentService.log
call :remove
exit /b 1

:remove
"%agent%" -stop >nul
"%agent%" -remove
exit /b 0
