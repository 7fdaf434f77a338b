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
rem One line per check, "ok" or "FAIL", then "N passed, N failed". A check passes only on what was
rem seen: a query that failed or a refusal whose cause is unknown shows nothing, and its line says
rem what was seen instead. Exit code 0 when every check passed, 1 when one did not, 2 when the check
rem could not run. cmd.exe only, so XP runs it too.
setlocal EnableExtensions
rem No delayed expansion: it would eat every "!" in a path. System tools by full path, so that a
rem GNU find or another reg.exe earlier on PATH cannot answer for them.
set "REG=%SystemRoot%\System32\reg.exe"
set "FIND=%SystemRoot%\System32\find.exe"
set "FC=%SystemRoot%\System32\fc.exe"
set "NET=%SystemRoot%\System32\net.exe"

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
rem reg.exe exits with 1 for every refusal, and says why in this Windows' language. Windows' own
rem words for ERROR_CHILD_MUST_BE_VOLATILE, in the same language, are what net.exe prints for 1021;
rem the first line of them is enough to find in what reg.exe said.
rem Whatever net.exe's exit code, words that are not reg.exe's only fail to match.
"%NET%" helpmsg 1021 >"%DUMP%.net" 2>nul
for /f "usebackq tokens=*" %%L in ("%DUMP%.net") do if not exist "%DUMP%.words" echo.%%L>"%DUMP%.words"
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
if not defined HADPARENT call :volatile "%PARENT%" "the parent %PARENT%, made by this run,"

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
if defined WIN64 call :absent_64
call :no_values
call :volatile "%KEY%" "the marker"
exit /b 0

rem A query of the key itself fails alike when it is missing and when it may not be opened, so
rem absence is shown by the list of what is there: the parent's subkeys, or when the parent
rem cannot be queried, HKLM\Software's. reg.exe lists a subkey as the path asked for and the
rem name; flagpost.exe names the key as this script does.
:absent_64
set "SEEN=the marker is absent from the 64-bit view"
set "LISTED=\Ostrevane\RebootPending"
"%REG%" query "%PARENT%" /reg:64 >"%DUMP%.64" 2>&1
if errorlevel 1 (
    set "LISTED=\Software\Ostrevane"
    set "SEEN=the marker is absent from the 64-bit view: not shown, %PARENT% is there but reg query of it failed"
    "%REG%" query "HKLM\Software" /reg:64 >"%DUMP%.64" 2>&1
)
if errorlevel 1 (
    call :fail "the marker is absent from the 64-bit view: not shown, reg query of HKLM\Software there failed"
    exit /b 0
)
"%FIND%" "%LISTED%" <"%DUMP%.64" >nul 2>&1
set FOUND=%ERRORLEVEL%
if "%FOUND%"=="1" (call :pass "the marker is absent from the 64-bit view") else if "%FOUND%"=="0" (call :fail "%SEEN%") else call :fail "the marker is absent from the 64-bit view: not shown, find.exe failed (exit %FOUND%)"
exit /b 0

rem Values are the lines of a query that worked which name a REG_ type.
:no_values
"%REG%" query "%KEY%" %VIEW32% >"%DUMP%.values" 2>&1
set CODE=%ERRORLEVEL%
if not "%CODE%"=="0" (
    call :fail "the marker holds no values: not shown, reg query of it failed (reg.exe exit %CODE%)"
    exit /b 0
)
"%FIND%" "REG_" <"%DUMP%.values" >nul 2>&1
set FOUND=%ERRORLEVEL%
if "%FOUND%"=="1" (call :pass "the marker holds no values") else if "%FOUND%"=="0" (call :fail "the marker holds no values") else call :fail "the marker holds no values: not shown, find.exe failed (exit %FOUND%)"
exit /b 0

rem :volatile KEY WHAT. Windows refuses an ordinary subkey under a volatile key, and also where the
rem key's permissions deny it, and reg.exe exits with 1 either way: the pass needs Windows' words
rem for ERROR_CHILD_MUST_BE_VOLATILE in what reg.exe said. Any other refusal is told as it was.
:volatile
rem A name of its own each time: a subkey that was there already would be opened, not made.
set "CHILD=%~1\FlagpostCheck-%RANDOM%%RANDOM%"
"%REG%" add "%CHILD%" %VIEW32% /f >"%DUMP%.said" 2>&1
set CODE=%ERRORLEVEL%
if "%CODE%"=="0" (
    call :fail "%~2 is volatile: an ordinary subkey could be made under it"
    "%REG%" delete "%CHILD%" %VIEW32% /f >nul 2>&1
    exit /b 0
)
set "SHOWN="
rem A quote in the words would only make find.exe fail: a FOR variable is never parsed as commands.
if exist "%DUMP%.words" for /f "usebackq delims=" %%L in ("%DUMP%.words") do (
    "%FIND%" "%%L" <"%DUMP%.said" >nul 2>&1
    if not errorlevel 1 set SHOWN=1
)
if defined SHOWN (
    call :pass "%~2 is volatile (Windows refused an ordinary subkey under it with ERROR_CHILD_MUST_BE_VOLATILE)"
    exit /b 0
)
echo FAIL %~2 is volatile: not shown. reg add of an ordinary subkey under it was refused (reg.exe exit %CODE%)
echo      without Windows' words for ERROR_CHILD_MUST_BE_VOLATILE; Windows refuses that under a volatile
echo      key, and also where the key's permissions deny it. reg.exe said:
for /f "usebackq delims=" %%L in ("%DUMP%.said") do echo      %%L
set /a failed+=1
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
del "%DUMP%.net" "%DUMP%.words" "%DUMP%.64" "%DUMP%.values" "%DUMP%.said" >nul 2>&1
echo %passed% passed, %failed% failed
if %failed% gtr 0 exit /b 1
exit /b 0
