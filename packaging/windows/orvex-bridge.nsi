; The Windows installer of orvex-bridge (NSIS 3, 64-bit Unicode stub): a
; per-user install that needs no administrator.
; makensis -DVERSION=x.y.z -DBRIDGE=path\to\orvex-bridge.exe -DTWIN=path\to\orvex-bridge.com
;          -DOUTFILE=setup.exe orvex-bridge.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "LogicLib.nsh"
!include "WinMessages.nsh"

!define KEY_UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\orvex-bridge"
!define KEY_RUN "Software\Microsoft\Windows\CurrentVersion\Run"
; The bridge's hidden main window (kMainWindowClass in
; platform/windows/ProcessControl.h) and its single-instance mutex.
!define WINDOW_CLASS "OrvexBridgeMain"
!define MUTEX "ZNQ Orvex Config"
; At log-on another session's bridge may still hold the port: wait for it.
!define RUN_ARGUMENTS "--quiet --wait-for-port"
!define HWND_MESSAGE -3

Name "orvex-bridge ${VERSION}"
OutFile "${OUTFILE}"
; Everything is the user's own: the program under their local application
; data, the log-on entry and the uninstall entry in their hive. No
; administrator is asked for, and the entries land where the bridge runs.
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\orvex-bridge"
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running bridge keeps its files in use. This user's bridge is asked to
; close through its hidden main window, which runs its shutdown steps, and is
; ended only if it has not closed within 10 s. FindWindow sees only this
; session's windows, so other users' bridges go on.
!macro StopBridge
  FindWindow $0 "${WINDOW_CLASS}"
  ${If} $0 = 0
    ; Where the bridge could make no top-level window.
    FindWindow $0 "${WINDOW_CLASS}" "" ${HWND_MESSAGE}
  ${EndIf}
  ${If} $0 <> 0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
    ; SYNCHRONIZE | PROCESS_TERMINATE
    System::Call 'kernel32::OpenProcess(i 0x100001, i 0, i r1) p .r2'
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $2 <> 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i 10000) i .r3'
      ${If} $3 <> 0
        DetailPrint "orvex-bridge did not close; ending it"
        System::Call 'kernel32::TerminateProcess(p r2, i 1)'
        System::Call 'kernel32::WaitForSingleObject(p r2, i 5000) i'
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
  ${EndIf}
  ; A bridge without a window still holds the mutex: say so rather than
  ; fail on a file in use. (SYNCHRONIZE)
  System::Call 'kernel32::OpenMutexW(i 0x100000, i 0, w "${MUTEX}") p .r4'
  ${If} $4 <> 0
    System::Call 'kernel32::CloseHandle(p r4)'
    MessageBox MB_OK|MB_ICONSTOP "orvex-bridge is running and did not answer. End it in the Task Manager, then run this again." /SD IDOK
    Abort
  ${EndIf}
!macroend

Section "orvex-bridge"
  SetShellVarContext current
  !insertmacro StopBridge
  SetOutPath "$INSTDIR"
  File "/oname=orvex-bridge.exe" "${BRIDGE}"
  File "/oname=orvex-bridge.com" "${TWIN}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${KEY_RUN}" "orvex-bridge" '"$INSTDIR\orvex-bridge.exe" ${RUN_ARGUMENTS}'

  ; The console page that the running bridge serves.
  CreateDirectory "$SMPROGRAMS\orvex-bridge"
  WriteINIStr "$SMPROGRAMS\orvex-bridge\orvex-bridge console.url" "InternetShortcut" "URL" "http://127.0.0.1:10086/"
  CreateShortcut "$SMPROGRAMS\orvex-bridge\Uninstall orvex-bridge.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKCU "${KEY_UNINSTALL}" "DisplayName" "orvex-bridge"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${KEY_UNINSTALL}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${KEY_UNINSTALL}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${KEY_UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKCU "${KEY_UNINSTALL}" "NoRepair" 1

  ; An earlier install for all users (under Program Files) can only be
  ; removed by an administrator; its bridge no longer starts at this log-on.
  ReadRegStr $5 HKLM "${KEY_UNINSTALL}" "UninstallString"
  ${If} $5 != ""
    MessageBox MB_OK|MB_ICONINFORMATION "An earlier orvex-bridge for all users is still installed. Remove it in Apps (this needs an administrator)." /SD IDOK
  ${EndIf}

  ; Serving now, so that nobody has to log off and on.
  Exec '"$INSTDIR\orvex-bridge.exe" ${RUN_ARGUMENTS}'
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  !insertmacro StopBridge
  DeleteRegValue HKCU "${KEY_RUN}" "orvex-bridge"
  Delete "$SMPROGRAMS\orvex-bridge\orvex-bridge console.url"
  Delete "$SMPROGRAMS\orvex-bridge\Uninstall orvex-bridge.lnk"
  RMDir "$SMPROGRAMS\orvex-bridge"
  Delete "$INSTDIR\orvex-bridge.exe"
  Delete "$INSTDIR\orvex-bridge.com"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The trusted origins (%APPDATA%\orvex-bridge) are the user's and stay.
  DeleteRegKey HKCU "${KEY_UNINSTALL}"
SectionEnd
