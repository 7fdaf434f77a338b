; An example product's installer, to show how an installer uses Flagpost:
;   1. before installing, refuse while a restart is pending (the marker exists);
;   2. after installing something that needs a restart, set the marker.
;
;   makensis -DFLAGPOST_EXE=path/to/flagpost.exe -DREADME=path/to/readme.txt -DOUTFILE=setup.exe flagpost-example.nsi
;
; Exit codes: 3010 installed, restart Windows to finish (ERROR_SUCCESS_REBOOT_REQUIRED, which
; deployment tools read as a soft reboot), 2 aborted because a restart is pending, or installed
; but flagpost.exe set no marker (NSIS's own code for an abort by the script), 1 cancelled by the
; user. It never restarts Windows itself.
Unicode true
!ifndef FLAGPOST_EXE | README | OUTFILE
  !error "Define FLAGPOST_EXE, README and OUTFILE with -D"
!endif

Name "Flagpost Example"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Flagpost Example"
; Flagpost writes under HKLM, which needs the installer to run elevated.
RequestExecutionLevel admin

Page directory
Page instfiles

Function .onInit
  ; Flagpost is 32-bit, so on 64-bit Windows its marker is in the 32-bit view.
  SetRegView 32
  ClearErrors
  ; The marker has no values to read: whether the key opens at all is the answer.
  EnumRegKey $0 HKLM "Software\Ostrevane\RebootPending" 0
  IfErrors no_restart_pending
    ; /SD IDOK answers the box in a silent install, so that /S never waits for a click.
    MessageBox MB_OK|MB_ICONEXCLAMATION "A restart is pending since something was installed. Restart Windows, then run this setup again." /SD IDOK
    Abort
  no_restart_pending:
FunctionEnd

Section "Example product"
  SetOutPath "$INSTDIR"
  File "/oname=readme.txt" "${README}"

  ; Unpacked to the installer's private temporary folder and removed with it.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\flagpost.exe" "${FLAGPOST_EXE}"
  ExecWait '"$PLUGINSDIR\flagpost.exe"'
  ; flagpost.exe exits 0 whatever happens: only the marker says that it was set. Without it (not
  ; elevated: Windows XP ignores RequestExecutionLevel) the installer asks for no restart that
  ; nothing would remember, and ends with NSIS's code for an abort by the script, 2.
  ClearErrors
  EnumRegKey $0 HKLM "Software\Ostrevane\RebootPending" 0
  IfErrors 0 marker_set
    MessageBox MB_OK|MB_ICONSTOP "Installed to $INSTDIR, but no reboot-pending marker is set: not elevated?" /SD IDOK
    Abort
  marker_set:
  SetRebootFlag true
SectionEnd

; The reboot flag is only a flag: nothing here restarts Windows. Its exit code tells the caller.
Function .onInstSuccess
  IfRebootFlag 0 +2
    SetErrorLevel 3010
FunctionEnd
