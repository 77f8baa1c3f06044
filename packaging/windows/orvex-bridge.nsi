; The Windows installer of orvex-bridge (NSIS 3, 64-bit Unicode stub).
; makensis -DVERSION=x.y.z -DBRIDGE=path\to\orvex-bridge.exe -DOUTFILE=setup.exe orvex-bridge.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define KEY_UNINSTALL "Software\Microsoft\Windows\CurrentVersion\Uninstall\orvex-bridge"
!define KEY_RUN "Software\Microsoft\Windows\CurrentVersion\Run"

Name "orvex-bridge ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\orvex-bridge"
RequestExecutionLevel admin
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A bridge still running keeps its binary in use: ask it to close (its
; hidden window takes the close request and runs the shutdown steps), then
; end it if it does not.
!macro StopBridge
  nsExec::Exec 'taskkill /IM orvex-bridge.exe'
  Sleep 1000
  nsExec::Exec 'taskkill /F /IM orvex-bridge.exe'
!macroend

Section "orvex-bridge"
  !insertmacro StopBridge
  SetOutPath "$INSTDIR"
  File "/oname=orvex-bridge.exe" "${BRIDGE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Started at log-on for the user who installed it.
  WriteRegStr HKCU "${KEY_RUN}" "orvex-bridge" '"$INSTDIR\orvex-bridge.exe" --quiet'

  ; The console page that the running bridge serves.
  CreateDirectory "$SMPROGRAMS\orvex-bridge"
  WriteINIStr "$SMPROGRAMS\orvex-bridge\orvex-bridge console.url" "InternetShortcut" "URL" "http://127.0.0.1:10086/"
  CreateShortcut "$SMPROGRAMS\orvex-bridge\Uninstall orvex-bridge.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${KEY_UNINSTALL}" "DisplayName" "orvex-bridge"
  WriteRegStr HKLM "${KEY_UNINSTALL}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${KEY_UNINSTALL}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${KEY_UNINSTALL}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${KEY_UNINSTALL}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${KEY_UNINSTALL}" "NoModify" 1
  WriteRegDWORD HKLM "${KEY_UNINSTALL}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  !insertmacro StopBridge
  DeleteRegValue HKCU "${KEY_RUN}" "orvex-bridge"
  Delete "$SMPROGRAMS\orvex-bridge\orvex-bridge console.url"
  Delete "$SMPROGRAMS\orvex-bridge\Uninstall orvex-bridge.lnk"
  RMDir "$SMPROGRAMS\orvex-bridge"
  Delete "$INSTDIR\orvex-bridge.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${KEY_UNINSTALL}"
SectionEnd
