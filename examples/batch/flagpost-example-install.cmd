@echo off
rem flagpost-example-install.cmd [target folder]
rem
rem An example product's installer as a batch file, to show how a script uses Flagpost: it refuses
rem while a restart is pending, and after installing it sets the reboot-pending marker. Run it
rem elevated, with flagpost.exe and the payload (readme.txt) beside it. Exit code 3010: installed,
rem restart Windows to finish (ERROR_SUCCESS_REBOOT_REQUIRED, which deployment tools read as a
rem soft reboot); 1: refused, a restart is pending; 2: failed, or could not tell.
setlocal EnableExtensions

set "TARGET=%~1"
if not defined TARGET set "TARGET=%ProgramFiles%\Flagpost Example"

rem Flagpost is 32-bit, so on 64-bit Windows its marker is in the 32-bit view, which the 32-bit
rem reg.exe in SysWOW64 sees by itself from either cmd. 32-bit Windows has one view. By full
rem path, so that no other reg.exe on PATH answers.
set "REG=%SystemRoot%\System32\reg.exe"
if exist "%SystemRoot%\SysWOW64\reg.exe" set "REG=%SystemRoot%\SysWOW64\reg.exe"

"%REG%" query "HKLM\Software\Ostrevane\RebootPending" >nul 2>&1
set "FOUND=%ERRORLEVEL%"
if "%FOUND%"=="0" (
    echo A restart is pending since something was installed. Restart Windows, then run this again.
    exit /b 1
)
rem 1 is "not there, or reg.exe failed": Microsoft documents only 0 and 1, and access denied gives
rem 1 too. The script goes on: a caller without the rights gets no marker either, which the check
rem after flagpost.exe reports with 2. Anything else (9009: no reg.exe) says nothing: stop.
if not "%FOUND%"=="1" (
    echo Cannot tell whether a restart is pending: reg.exe exited with %FOUND%.
    exit /b 2
)

if not exist "%TARGET%" mkdir "%TARGET%"
copy /y "%~dp0readme.txt" "%TARGET%\readme.txt" >nul
if errorlevel 1 (
    echo Cannot copy readme.txt to "%TARGET%".
    exit /b 2
)

rem Inside a script cmd waits for a GUI program by itself. Its exit code is always 0: the marker
rem is the answer.
"%~dp0flagpost.exe"
"%REG%" query "HKLM\Software\Ostrevane\RebootPending" >nul 2>&1
if errorlevel 1 (
    echo Installed to "%TARGET%", but no reboot-pending marker is set: not elevated?
    exit /b 2
)
echo Installed to "%TARGET%". Restart Windows to finish.
exit /b 3010
