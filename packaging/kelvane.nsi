; The Windows installer: what scripts/windows puts in build-windows/deploy, installed into
; "C:\Program Files\Kelvane" with a Start-menu entry and an uninstaller. Silent with /S.
; makensis -DVERSION=... -DDEPLOY=<folder> -DOUTFILE=<setup.exe> packaging/kelvane.nsi
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include x64.nsh

Name "Kelvane ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kelvane"
RequestExecutionLevel admin

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane"

Section "Kelvane"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${DEPLOY}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The entry is the installing user's: it starts in that user's folder, where the program
  ; writes Utility.ini (the program's folder is not the user's to write in).
  SetShellVarContext current
  CreateDirectory "$SMPROGRAMS\Kelvane"
  SetOutPath "$PROFILE"
  CreateShortCut "$SMPROGRAMS\Kelvane\Kelvane.lnk" "$INSTDIR\kelvane.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetRegView 64
  SetShellVarContext current
  Delete "$SMPROGRAMS\Kelvane\Kelvane.lnk"
  RMDir "$SMPROGRAMS\Kelvane"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
