; An example product's installer, to show how an Inno Setup installer uses Flagpost:
;   1. before installing, refuse while a restart is pending (the marker exists);
;   2. after installing something that needs a restart, set the marker.
;
;   ISCC /DFlagpostExe=path\to\flagpost.exe /DReadme=path\to\readme.txt /Ooutput\folder flagpost-example.iss
;
; Run silently as deployment tools do:
;   setup.exe /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /RESTARTEXITCODE=3010
; Exit codes: 3010 installed, restart Windows to finish (ERROR_SUCCESS_REBOOT_REQUIRED, which
; deployment tools read as a soft reboot; without /RESTARTEXITCODE it is 0), 1 refused because a
; restart is pending (Setup's own code for InitializeSetup returning False), 2 or 5 cancelled,
; 1603 (ERROR_INSTALL_FAILURE) installed but flagpost.exe set no marker: not elevated? Setup's own
; codes 1 to 8 keep their meaning.
#ifndef FlagpostExe
  #error Define FlagpostExe and Readme with /D
#endif

[Setup]
AppName=Flagpost Example
AppVersion=1.0
AppPublisher=Ostrevane
DefaultDirName={autopf}\Flagpost Example
DisableProgramGroupPage=yes
; Flagpost writes under HKLM, which needs the installer to run elevated.
PrivilegesRequired=admin
OutputBaseFilename=flagpost-example-inno-setup
; No uninstaller: the example has nothing to remove but readme.txt.
Uninstallable=no

[Files]
Source: "{#Readme}"; DestDir: "{app}"
; Unpacked to Setup's private temporary folder and removed with it, then run by SetMarker.
Source: "{#FlagpostExe}"; DestDir: "{tmp}"; AfterInstall: SetMarker

[Code]
var
  // Whether flagpost.exe set the marker; read again after running it, since it exits 0 whatever happens.
  MarkerSet: Boolean;

function InitializeSetup(): Boolean;
begin
  // Flagpost is 32-bit, so on 64-bit Windows its marker is in the 32-bit view. The marker has
  // no values to read: whether the key exists is the answer.
  Result := not RegKeyExists(HKLM32, 'Software\Ostrevane\RebootPending');
  if not Result then
    SuppressibleMsgBox('A restart is pending since something was installed. Restart Windows, then run this setup again.',
                       mbError, MB_OK, IDOK);
end;

// Right after flagpost.exe is unpacked, and so before Setup asks NeedRestart: flagpost.exe, waited
// for and without a window, then the marker read back. Without it (not elevated) there is no
// restart to ask for.
procedure SetMarker();
var
  ResultCode: Integer;
begin
  Exec(ExpandConstant('{tmp}\flagpost.exe'), '', '', SW_HIDE, ewWaitUntilTerminated, ResultCode);
  MarkerSet := RegKeyExists(HKLM32, 'Software\Ostrevane\RebootPending');
  if not MarkerSet then
    SuppressibleMsgBox('Installed to "' + ExpandConstant('{app}') + '", but no reboot-pending marker ' +
                       'is set: not elevated?', mbError, MB_OK, IDOK);
end;

// Called only where Setup would end with 0: a successful install without a restart to report.
function GetCustomSetupExitCode(): Integer;
begin
  Result := 0;
  if not MarkerSet then
    Result := 1603;
end;

// Setup restarts Windows by itself at the end of a very silent install that needs a restart,
// unless /NORESTART is given. This one asks for the restart (and so gives /RESTARTEXITCODE's
// code) only where nothing restarts unasked: with the wizard, where the user chooses, or with
// /NORESTART.
function NeedRestart(): Boolean;
var
  I: Integer;
begin
  Result := MarkerSet and not WizardSilent;
  for I := 1 to ParamCount do
    if CompareText(ParamStr(I), '/NORESTART') = 0 then
      Result := MarkerSet;
end;
