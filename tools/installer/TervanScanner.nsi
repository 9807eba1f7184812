; The installer of Tervan! Scanner: makensis -DDIST=<folder> -DOUTFILE=<setup.exe> -DVERSION=<x.y.z.w>
Unicode true
!include "MUI2.nsh"

Name "Tervan! Scanner"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Tervan Scanner"
RequestExecutionLevel admin
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Tervan! Scanner"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "Tervan Software"
VIAddVersionKey "FileDescription" "Tervan! Scanner setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (C) 2026 Tervan Software"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TervanScanner"
; Explorer's "Scan with Tervan! Scanner" for files, folders and drives: plain verbs, no shell extension.
!define VERB_NAME "TervanScanner.Scan"

!macro AddScanVerb CLASS
    WriteRegStr HKCR "${CLASS}\shell\${VERB_NAME}" "" "Scan with Tervan! Scanner"
    WriteRegStr HKCR "${CLASS}\shell\${VERB_NAME}" "Icon" '"$INSTDIR\TervanScanner.exe",0'
    WriteRegStr HKCR "${CLASS}\shell\${VERB_NAME}\command" "" '"$INSTDIR\TervanScanner.exe" "%1"'
!macroend

Function .onInit
    SetShellVarContext all  ; the Start-menu entries are for every user of the machine
FunctionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

Section "Tervan! Scanner"
    SetOutPath "$INSTDIR"
    File "${DIST}\TervanScanner.exe"
    File "${DIST}\tervscan.exe"
    File "${DIST}\USE.txt"
    SetOutPath "$INSTDIR\Bases"
    File "${DIST}\Bases\ScanMain.DLL"
    File "${DIST}\Bases\tervan.tvb"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateDirectory "$SMPROGRAMS\Tervan Scanner"
    CreateShortcut "$SMPROGRAMS\Tervan Scanner\Tervan! Scanner.lnk" "$INSTDIR\TervanScanner.exe"
    CreateShortcut "$SMPROGRAMS\Tervan Scanner\Uninstall Tervan! Scanner.lnk" "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tervan! Scanner"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tervan Software"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TervanScanner.exe"
    !insertmacro AddScanVerb "*"
    !insertmacro AddScanVerb "Directory"
    !insertmacro AddScanVerb "Drive"
SectionEnd

; Only the files this installer put there go. The quarantine folders (TER.QUAR on each drive) may hold
; the user's files and are never touched.
Section "Uninstall"
    Delete "$INSTDIR\TervanScanner.exe"
    Delete "$INSTDIR\tervscan.exe"
    Delete "$INSTDIR\USE.txt"
    Delete "$INSTDIR\Bases\ScanMain.DLL"
    Delete "$INSTDIR\Bases\tervan.tvb"
    RMDir "$INSTDIR\Bases"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Tervan Scanner\Tervan! Scanner.lnk"
    Delete "$SMPROGRAMS\Tervan Scanner\Uninstall Tervan! Scanner.lnk"
    RMDir "$SMPROGRAMS\Tervan Scanner"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKCR "*\shell\${VERB_NAME}"
    DeleteRegKey HKCR "Directory\shell\${VERB_NAME}"
    DeleteRegKey HKCR "Drive\shell\${VERB_NAME}"
SectionEnd
