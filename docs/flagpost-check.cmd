@echo off
rem flagpost-check.cmd [path\to\flagpost.exe]
rem
rem Checks, on this machine, that flagpost.exe sets its reboot-pending marker as documented: a
rem volatile key with no values, HKLM\Software\Ostrevane\RebootPending in the 32-bit registry view.
rem Run it from an elevated prompt. Without an argument it uses the flagpost.exe in the current
rem folder, or else the one beside this script.
rem
rem When no marker is set, it runs flagpost.exe, checks the key (and the parent key, when the run
rem made that too), and then removes what the run made, so that the machine does not go on saying that it needs a restart. A marker that is
rem already there is real news, so it is only checked, never removed.
rem
rem One line per check, "ok" or "FAIL", then "N passed, N failed". Exit code 0 when every check
rem passed, 1 when one failed, 2 when the check could not run. cmd.exe only, so XP runs it too.
setlocal EnableExtensions
rem No delayed expansion: it would eat every "!" in a path. System tools by full path, so that a
rem GNU find or another reg.exe earlier on PATH cannot answer for them.
set "REG=%SystemRoot%\System32\reg.exe"
set "FIND=%SystemRoot%\System32\find.exe"
set "FC=%SystemRoot%\System32\fc.exe"

set "KEY=HKLM\Software\Ostrevane\RebootPending"
set "PARENT=HKLM\Software\Ostrevane"
set /a passed=0, failed=0

set "EXE=%~1"
if not defined EXE if exist "%CD%\flagpost.exe" set "EXE=%CD%\flagpost.exe"
if not defined EXE set "EXE=%~dp0flagpost.exe"
if not exist "%EXE%" (
    echo cannot run: no flagpost.exe at "%EXE%"
    exit /b 2
)

rem 64-bit Windows has two registry views; a 32-bit cmd.exe there still sees PROCESSOR_ARCHITEW6432.
rem 32-bit Windows has one, and its reg.exe may not know the view switches at all (XP's does not).
set "VIEW32="
set "WIN64="
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set WIN64=1
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM64" set WIN64=1
if defined PROCESSOR_ARCHITEW6432 set WIN64=1
rem On ARM64 Windows the 32-bit view that /reg:32 means is the x86 one, where Flagpost writes, for
rem x86 and ARM64 programs; a 32-bit ARM cmd.exe would get a 32-bit ARM reg.exe, whose /reg:32 is
rem the ARM view. The native reg.exe is reached through Sysnative.
if /i "%PROCESSOR_ARCHITECTURE%"=="ARM" if exist "%SystemRoot%\Sysnative\reg.exe" set "REG=%SystemRoot%\Sysnative\reg.exe"
if defined WIN64 (
    set "VIEW32=/reg:32"
    "%REG%" query "HKLM\Software" /reg:32 >nul 2>&1
    if errorlevel 1 (
        echo cannot run: this reg.exe does not take /reg:32, so the 32-bit view cannot be read
        exit /b 2
    )
)

rem flagpost.exe needs what this takes: creating a key under HKLM\Software. Not under Ostrevane,
rem where an ordinary key made now would change what flagpost.exe meets.
set "PROBE=HKLM\Software\FlagpostCheck-%RANDOM%%RANDOM%"
"%REG%" add "%PROBE%" %VIEW32% /f >nul 2>&1
if errorlevel 1 (
    echo cannot run: no administrative rights ^(run this from an elevated prompt^)
    exit /b 2
)
"%REG%" delete "%PROBE%" %VIEW32% /f >nul 2>&1

set "DUMP=%TEMP%\flagpost-check-%RANDOM%%RANDOM%"
set "HADPARENT="
"%REG%" query "%PARENT%" %VIEW32% >nul 2>&1
if not errorlevel 1 set HADPARENT=1
"%REG%" query "%KEY%" %VIEW32% >nul 2>&1
if not errorlevel 1 goto :already_set

echo No marker is set: running "%EXE%"
"%EXE%" /quiet "two words" --flag= ""
set RESULT=%ERRORLEVEL%
if "%RESULT%"=="0" (call :pass "flagpost.exe exits with 0") else call :fail "flagpost.exe exits with 0, not %RESULT%"
"%REG%" query "%KEY%" %VIEW32% >nul 2>&1
if errorlevel 1 (
    call :fail "the marker exists in the 32-bit view"
    goto :restore
)
call :pass "the marker exists in the 32-bit view"
call :common_checks
if not defined HADPARENT call :parent_volatile

"%REG%" query "%KEY%" /s %VIEW32% >"%DUMP%.before" 2>&1
"%EXE%"
set RESULT=%ERRORLEVEL%
"%REG%" query "%KEY%" /s %VIEW32% >"%DUMP%.after" 2>&1
"%FC%" "%DUMP%.before" "%DUMP%.after" >nul 2>&1
set SAME=%ERRORLEVEL%
del "%DUMP%.before" "%DUMP%.after" >nul 2>&1
if "%RESULT%"=="0" (call :pass "a second run exits with 0") else call :fail "a second run exits with 0, not %RESULT%"
if "%SAME%"=="0" (call :pass "a second run leaves the marker as it was") else call :fail "a second run leaves the marker as it was"

rem Back to the state found: this run set the marker, nothing needs a restart.
:restore
"%REG%" delete "%KEY%" %VIEW32% /f >nul 2>&1
if not defined HADPARENT "%REG%" delete "%PARENT%" %VIEW32% /f >nul 2>&1
set "LEFT="
"%REG%" query "%KEY%" %VIEW32% >nul 2>&1
if not errorlevel 1 set LEFT=1
if not defined HADPARENT (
    "%REG%" query "%PARENT%" %VIEW32% >nul 2>&1
    if not errorlevel 1 set LEFT=1
)
if defined LEFT (call :fail "the marker this check set is removed again") else call :pass "the marker this check set is removed again"
goto :summary

:already_set
echo The marker is already set: this machine has not restarted since flagpost.exe last ran.
echo It is left in place; checking it without changing it.
call :pass "the marker exists in the 32-bit view"
call :common_checks
goto :summary

rem What holds for any marker: the right view, no values, volatile. The 64-bit view may well hold
rem an Ostrevane key of a 64-bit product; only the marker must not be there.
:common_checks
if defined WIN64 (
    "%REG%" query "%KEY%" /reg:64 >nul 2>&1
    if errorlevel 1 (call :pass "the marker is absent from the 64-bit view") else call :fail "the marker is absent from the 64-bit view"
)
"%REG%" query "%KEY%" %VIEW32% | "%FIND%" "REG_" >nul
if errorlevel 1 (call :pass "the marker holds no values") else call :fail "the marker holds no values"
rem Windows refuses an ordinary subkey under a volatile key.
set "CHILD=%KEY%\FlagpostCheckChild"
"%REG%" add "%CHILD%" %VIEW32% /f >nul 2>&1
if errorlevel 1 (
    call :pass "the marker is volatile"
) else (
    call :fail "the marker is volatile: an ordinary subkey could be made under it"
    "%REG%" delete "%CHILD%" %VIEW32% /f >nul 2>&1
)
exit /b 0

rem The run made the parent too, and Windows makes every key that such a call creates volatile.
:parent_volatile
set "SIBLING=%PARENT%\FlagpostCheckSibling"
"%REG%" add "%SIBLING%" %VIEW32% /f >nul 2>&1
if errorlevel 1 (
    call :pass "the parent %PARENT%, made by this run, is volatile"
) else (
    call :fail "the parent %PARENT%, made by this run, is volatile: an ordinary subkey could be made under it"
    "%REG%" delete "%SIBLING%" %VIEW32% /f >nul 2>&1
)
exit /b 0

:pass
echo ok   %~1
set /a passed+=1
exit /b 0

:fail
echo FAIL %~1
set /a failed+=1
exit /b 0

:summary
echo %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0
