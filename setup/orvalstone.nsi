; Orvalstone setup: a sample of how a setup program drives orvinst.exe.
;
; orvinst does the real work (monitor, driver, queues, tray program) and answers with an exit
; code; this script only puts the files in place, runs its command words in the right order and
; turns its answers into the setup's own exit codes:
;
;   orvinst answers                   the setup
;   onInit 200 (module pending)       "restart first", exits 3017, changes nothing
;   onInit 102 (default not ours)     offers to make the new queue the default printer (def.set)
;   onChkDrv 103 (driver > 2206)      says the run is a repair, else an install or an upgrade
;   install/uninstall 1 or 2          done, exits 0
;   install/uninstall 101             done, a restart finishes it: reboot flag, exits 3010
;   removetray/install/uninstall 1618 another run of orvinst held the machine past its wait:
;                                     nothing was changed, exits 1618 (deployment tools retry)
;   (another setup at work)           waited for (the setup lock, below) up to 30 minutes;
;                                     still at work then: the same, exits 1618
;   install/uninstall anything else   error naming orvinst's log window, exits 1603; a failed
;                                     uninstall keeps the files so that it can be run again
;
; Switches (with /S, the silent mode): /DEFAULTPRINTER makes a package queue the default printer
; where the page would have offered it; /LOG=FILE appends every message to FILE as well.
;
; Built by: makensis -DORVINST=path\orvinst.exe -DPACKAGE=folder-of-the-package-files
;                    [-DBUILD=2300] [-DOUTFILE=orvalstone-setup.exe] orvalstone.nsi

Unicode true
Target amd64-unicode

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh

!ifndef BUILD
  !define BUILD 2300
!endif
!ifndef OUTFILE
  !define OUTFILE orvalstone-setup.exe
!endif
; The title of orvinst's log window when it logged errors (its own build, 2300).
!define ERROR_LOG "Orvalstone build 2300- Install error log!"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Orvalstone"
!define SETUP_EXIT_ERROR 1603   ; ERROR_INSTALL_FAILURE
!define SETUP_EXIT_REBOOT 3010  ; ERROR_SUCCESS_REBOOT_REQUIRED
!define SETUP_EXIT_RESTART_FIRST 3017  ; ERROR_FAIL_REBOOT_REQUIRED
!define SETUP_EXIT_BUSY 1618    ; ERROR_INSTALL_ALREADY_RUNNING, as orvinst answers it
; onInit 200: a package module removed earlier is still in use until the restart, which would
; then delete the one this install puts in its place.
!define RESTART_FIRST "A part of Orvalstone removed earlier is only deleted when Windows restarts. Restart Windows first, then run this setup again."
!define BUSY "Another installation or removal of Orvalstone is still at work"
; Held by the install and the uninstall section from before their first orvinst run or file
; copy to after their last, so that two setups on one machine (in any sessions) run one after
; the other: between its runs orvinst's own mutex is free, and a second setup's "removetray" or
; file copy would land in the middle of the first's work. orvinst keeps its own mutex, which
; no setup holds: a setup's orvinst runs never wait for their own setup.
!define SETUP_MUTEX "Global\OrvalstoneSetup-{A3C85E12-6F0B-4D9E-B7A4-19E2C05D8F63}"
!define SETUP_LOCK_WAIT_MS 1800000  ; 30 minutes, as orvinst waits for its own

Name "Orvalstone"
OutFile "${OUTFILE}"
; orvinst.exe and the package files go to Setup\, the tray program to the folder above: orvinst
; looks for them there.
InstallDir "$PROGRAMFILES64\Orvalstone"
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "1.0.0.${BUILD}"
VIAddVersionKey ProductName "Orvalstone"
VIAddVersionKey FileVersion "1.0.0.${BUILD}"
VIAddVersionKey FileDescription "Orvalstone setup"
VIAddVersionKey LegalCopyright "Vantrel Software KFT"

Var LogFile        ; /LOG=FILE, or empty
Var OfferDefault   ; 1 when no package queue is the default printer (onInit 102)
Var MakeDefault    ; the page's check box, or /DEFAULTPRINTER
Var CheckBox
Var Orvinst        ; exit code of the last orvinst run
Var DriverProbe    ; what onChkDrv answered
Var InitProbe      ; what onInit answered
Var SetupLock      ; the setup mutex's handle
Var SetupLockTaken ; 1 while this setup owns it

Page custom DefaultPrinterPage DefaultPrinterLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Note writes a message to the details and the /LOG file; Say also shows it, except in silent
; mode, where a deployment reads the exit code. UN: "un." in the uninstaller.
!macro Note UN TEXT
  StrCpy $R9 `${TEXT}`
  Call ${UN}WriteLog
!macroend
!macro Say UN FLAGS TEXT
  !insertmacro Note "${UN}" `${TEXT}`
  MessageBox ${FLAGS} $R9 /SD IDOK
!macroend
!macro DefineWriteLog UN
  Function ${UN}WriteLog
    DetailPrint $R9
    ${If} $LogFile != ""
      FileOpen $R8 $LogFile a
      FileSeek $R8 0 END
      FileWrite $R8 "$R9$\r$\n"
      FileClose $R8
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro DefineWriteLog ""
!insertmacro DefineWriteLog "un."

; TakeSetupLock waits (bounded) for the setup mutex and sets $SetupLockTaken to 1 once it owns
; it; a mutex abandoned by a setup that was killed is taken over (the next install or uninstall
; finishes what it left).
; Made under another account, it is opened for waiting only, as orvinst does.
!macro DefineSetupLock UN
  Function ${UN}TakeSetupLock
    System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p.r0 ?e'
    Pop $1
    ${If} $0 P= 0
    ${AndIf} $1 = 5  ; ERROR_ACCESS_DENIED
      System::Call 'kernel32::OpenMutexW(i 0x100000, i 0, w "${SETUP_MUTEX}") p.r0'
    ${EndIf}
    StrCpy $SetupLock $0
    StrCpy $SetupLockTaken ""
    ${If} $0 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r0, i ${SETUP_LOCK_WAIT_MS}) i.r1'
      ${If} $1 = 0      ; WAIT_OBJECT_0
      ${OrIf} $1 = 0x80 ; WAIT_ABANDONED
        StrCpy $SetupLockTaken 1
      ${EndIf}
    ${EndIf}
  FunctionEnd
  Function ${UN}ReleaseSetupLock
    ${If} $SetupLock P<> 0
      ${If} $SetupLockTaken == 1
        System::Call 'kernel32::ReleaseMutex(p $SetupLock)'
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p $SetupLock)'
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro DefineSetupLock ""
!insertmacro DefineSetupLock "un."

; Runs orvinst.exe with a command word; sets $Orvinst to its exit code.
!macro Orvinst EXE WORD
  ClearErrors
  ExecWait '"${EXE}" ${WORD}' $Orvinst
  ${If} ${Errors}
    StrCpy $Orvinst "not started"
  ${EndIf}
!macroend

!macro ReadLogSwitch
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/LOG=" $LogFile
!macroend

Function .onInit
  SetShellVarContext all
  !insertmacro ReadLogSwitch
  ClearErrors
  ${GetOptions} $R0 "/DEFAULTPRINTER" $R1
  ${IfNot} ${Errors}
    StrCpy $MakeDefault ${BST_CHECKED}
  ${EndIf}

  ; The probes need no package files: a temporary copy of orvinst answers them.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\orvinst.exe" "${ORVINST}"
  Call Probe
  ${If} $InitProbe == 200
    !insertmacro Say "" MB_ICONEXCLAMATION "${RESTART_FIRST}"
    SetErrorLevel ${SETUP_EXIT_RESTART_FIRST}
    Abort
  ${EndIf}
FunctionEnd

; Sets $InitProbe, $OfferDefault and $DriverProbe. Asked again under the setup lock: another
; setup may have changed the answers while this one waited.
Function Probe
  !insertmacro Orvinst "$PLUGINSDIR\orvinst.exe" onInit
  StrCpy $InitProbe $Orvinst
  StrCpy $OfferDefault ""
  ${If} $Orvinst == 102
    StrCpy $OfferDefault 1
  ${EndIf}
  !insertmacro Orvinst "$PLUGINSDIR\orvinst.exe" onChkDrv
  StrCpy $DriverProbe $Orvinst
FunctionEnd

; Offered only when no package queue is the default printer yet, so that a repair never moves
; the user's choice to another of the package's queues.
Function DefaultPrinterPage
  ${If} $OfferDefault != 1
    Abort
  ${EndIf}
  nsDialogs::Create 1018
  Pop $R0
  ${NSD_CreateCheckBox} 0 0 100% 12u "Make Orvalstone the default printer"
  Pop $CheckBox
  ${NSD_SetState} $CheckBox $MakeDefault
  nsDialogs::Show
FunctionEnd

Function DefaultPrinterLeave
  ${NSD_GetState} $CheckBox $MakeDefault
FunctionEnd

Section
  Call TakeSetupLock
  ${If} $SetupLockTaken == 1
    Call Install
  ${Else}
    SetErrorLevel ${SETUP_EXIT_BUSY}
    !insertmacro Say "" MB_OK|MB_ICONSTOP "${BUSY}. Nothing was changed; run this setup again when it has finished."
  ${EndIf}
  Call ReleaseSetupLock
SectionEnd

Function Install
  Call Probe
  ${If} $InitProbe == 200
    SetErrorLevel ${SETUP_EXIT_RESTART_FIRST}
    !insertmacro Say "" MB_ICONEXCLAMATION "${RESTART_FIRST}"
    Return
  ${EndIf}
  ${If} $DriverProbe == 103
    !insertmacro Note "" "Repairing Orvalstone: its current driver is installed."
  ${Else}
    !insertmacro Note "" "Installing Orvalstone: a first install, or an upgrade from driver build 2206 or older."
  ${EndIf}

  ; A running tray program holds its file open: stop it before the copy replaces it.
  !insertmacro Orvinst "$PLUGINSDIR\orvinst.exe" removetray
  ; Another install or removal still at work: its files are not to be replaced under it.
  ${If} $Orvinst == ${SETUP_EXIT_BUSY}
    SetErrorLevel ${SETUP_EXIT_BUSY}
    !insertmacro Say "" MB_OK|MB_ICONSTOP "${BUSY}. Nothing was changed; run this setup again when it has finished."
    Return
  ${EndIf}
  ClearErrors
  SetOutPath "$INSTDIR\Setup"
  File "${ORVINST}" "${PACKAGE}/kvxmon64.dll" "${PACKAGE}/kvxdrv64.dll" "${PACKAGE}/kvxui64.dll" \
       "${PACKAGE}/kvxhelp.chm"
  SetOutPath "$INSTDIR"
  File "${PACKAGE}/orvtray.exe"
  ; A file in use is skipped (silently when silent): installing the old one would be no repair.
  ${If} ${Errors}
    SetErrorLevel ${SETUP_EXIT_ERROR}
    !insertmacro Say "" MB_OK|MB_ICONSTOP "Files of Orvalstone in $INSTDIR are in use and could not be replaced. Close the programs that use them and run this setup again."
    Return
  ${EndIf}

  ; Registered before the install runs, so that even a failed install can be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "Orvalstone"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "1.0.0.${BUILD}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "Vantrel Software KFT"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1

  ; The setup's window (0 when silent: none) owns orvinst's log window.
  !insertmacro Orvinst "$INSTDIR\Setup\orvinst.exe" "install $HWNDPARENT"
  StrCpy $R6 $Orvinst
  ; Also after errors: a queue the install did make can still become the default.
  ${If} $OfferDefault == 1
  ${AndIf} $R6 != ${SETUP_EXIT_BUSY}
  ${AndIf} $MakeDefault == ${BST_CHECKED}
    !insertmacro Orvinst "$INSTDIR\Setup\orvinst.exe" def.set
  ${EndIf}

  ${If} $R6 == 1
    DetailPrint "Orvalstone is installed."
  ${ElseIf} $R6 == ${SETUP_EXIT_BUSY}
    SetErrorLevel ${SETUP_EXIT_BUSY}
    !insertmacro Say "" MB_OK|MB_ICONSTOP "${BUSY}, and nothing was installed. Run this setup again when it has finished."
  ${ElseIf} $R6 == 101
    SetRebootFlag true
    SetErrorLevel ${SETUP_EXIT_REBOOT}
    !insertmacro Say "" MB_OK|MB_ICONINFORMATION "Orvalstone is installed. Restart Windows to finish: files in use are replaced then."
  ${Else}
    SetErrorLevel ${SETUP_EXIT_ERROR}
    !insertmacro Say "" MB_OK|MB_ICONSTOP 'Orvalstone was not installed completely (orvinst answered $R6). Its log, the window "${ERROR_LOG}", lists what failed. Set that right and run this setup again.'
  ${EndIf}
FunctionEnd

Function .onInstSuccess
  ${If} ${RebootFlag}
    MessageBox MB_YESNO|MB_ICONQUESTION "Restart Windows now?" /SD IDNO IDNO +2
    Reboot
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext all
  !insertmacro ReadLogSwitch
FunctionEnd

Section Uninstall
  Call un.TakeSetupLock
  ${If} $SetupLockTaken == 1
    Call un.Uninstall
  ${Else}
    SetErrorLevel ${SETUP_EXIT_BUSY}
    !insertmacro Say "un." MB_OK|MB_ICONSTOP "${BUSY}, and nothing was removed. Run the uninstall again when it has finished."
  ${EndIf}
  Call un.ReleaseSetupLock
SectionEnd

Function un.Uninstall
  !insertmacro Orvinst "$INSTDIR\Setup\orvinst.exe" "uninstall $HWNDPARENT"
  ${If} $Orvinst == ${SETUP_EXIT_BUSY}
    SetErrorLevel ${SETUP_EXIT_BUSY}
    !insertmacro Say "un." MB_OK|MB_ICONSTOP "${BUSY}, and nothing was removed. Run the uninstall again when it has finished."
    Return
  ${EndIf}
  ${If} $Orvinst != 2
  ${AndIf} $Orvinst != 101
    ; The files and the registration stay, so that the uninstall can run again once the cause
    ; is set right.
    SetErrorLevel ${SETUP_EXIT_ERROR}
    !insertmacro Say "un." MB_OK|MB_ICONSTOP 'Orvalstone was not removed completely (orvinst answered $Orvinst). Its log, the window "${ERROR_LOG}", lists what failed. Set that right and run the uninstall again.'
    Return
  ${EndIf}

  ; orvinst deleted the tray program already.
  Delete "$INSTDIR\Setup\orvinst.exe"
  Delete "$INSTDIR\Setup\kvxmon64.dll"
  Delete "$INSTDIR\Setup\kvxdrv64.dll"
  Delete "$INSTDIR\Setup\kvxui64.dll"
  Delete "$INSTDIR\Setup\kvxhelp.chm"
  ; Setup\Logs stays, and with it the folders above: orvinst's log files are the record of
  ; what every run did, for whoever looks after the machine.
  RMDir "$INSTDIR\Setup"
  Delete "$INSTDIR\orvtray.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} $Orvinst == 101
    SetRebootFlag true
    SetErrorLevel ${SETUP_EXIT_REBOOT}
    !insertmacro Say "un." MB_OK|MB_ICONINFORMATION "Orvalstone is removed. Restart Windows to finish: files in use are deleted then."
  ${EndIf}
FunctionEnd

Function un.onUninstSuccess
  ${If} ${RebootFlag}
    MessageBox MB_YESNO|MB_ICONQUESTION "Restart Windows now?" /SD IDNO IDNO +2
    Reboot
  ${EndIf}
FunctionEnd
