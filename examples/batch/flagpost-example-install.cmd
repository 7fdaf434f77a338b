@echo off
rem flagpost-example-install.cmd [target folder]
rem
rem An example product's installer as a batch file, to show how a script uses Flagpost: it refuses
rem while a restart is pending, and after installing it sets the reboot-pending marker. Run it
rem elevated, with flagpost.exe and the payload (readme.txt) beside it. Exit code 0: installed;
rem 1: refused, a restart is pending; 2: the install failed.
setlocal EnableExtensions

set "TARGET=%~1"
if not defined TARGET set "TARGET=%ProgramFiles%\Flagpost Example"

rem Flagpost is 32-bit: on 64-bit Windows its marker is in the 32-bit view. 32-bit Windows has
rem one view, and XP's reg.exe does not know the switch.
set "VIEW32="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "VIEW32=/reg:32"
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set "VIEW32=/reg:32"
if defined PROCESSOR_ARCHITEW6432 set "VIEW32=/reg:32"

reg query "HKLM\Software\Ostrevane\RebootPending" %VIEW32% >nul 2>&1
if not errorlevel 1 (
    echo A restart is pending since something was installed. Restart Windows, then run this again.
    exit /b 1
)

if not exist "%TARGET%" mkdir "%TARGET%"
copy /y "%~dp0readme.txt" "%TARGET%\readme.txt" >nul
if errorlevel 1 exit /b 2

rem start /wait: a GUI program is not waited for otherwise. Its exit code is always 0.
start "" /wait "%~dp0flagpost.exe"
echo Installed to %TARGET%. Restart Windows to finish.
exit /b 0
