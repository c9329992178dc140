; SPDX-FileCopyrightText: The Sonvale authors
; SPDX-License-Identifier: GPL-3.0-or-later
; Sonvale's installer for 64-bit Windows. scripts/windows.sh builds it from
; the release folder with Debian's makensis:
;
;   makensis -DVERSION=0.1.0 -DLISTS=<folder> -DOUTFILE=<setup.exe>
;            -DICON=<sonvale.ico> -DSIZE_KB=<size> packaging/windows/sonvale.nsi
;
; LISTS holds install-files.nsh and uninstall-files.nsh, the script's lists
; of the release folder's files to install and to remove: the uninstaller
; removes exactly what was installed, nothing else in the folder.
; It installs into Program Files, adds a Start-menu entry for every user and
; an entry in "Installed apps", and runs silently with /S (/D=<folder> picks
; another folder).

; A 64-bit installer and uninstaller (PE32+): they run where 32-bit programs
; cannot.
Target amd64-unicode
!include MUI2.nsh
!include x64.nsh
!include LogicLib.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Sonvale"

Name "Sonvale ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Sonvale"
InstallDirRegKey HKLM "Software\Sonvale" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "Sonvale ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "Sonvale"
VIAddVersionKey /LANG=1033 "CompanyName" "Sonvale"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 The Sonvale authors. GPL-3.0-or-later"
VIAddVersionKey /LANG=1033 "FileDescription" "Sonvale ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\sonvale.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Sonvale"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP "Sonvale needs 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Sonvale"
    !include "${LISTS}/install-files.nsh"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; Started from the entry, the program's working folder is its own, where
    ; the THD test finds Presets\THDTest.sonvale.
    CreateShortcut "$SMPROGRAMS\Sonvale.lnk" "$INSTDIR\sonvale.exe" "" "$INSTDIR\sonvale.exe" 0 \
        SW_SHOWNORMAL "" "Tunes the ES9038 USB DAC"

    WriteRegStr HKLM "Software\Sonvale" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Sonvale"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Sonvale"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\sonvale.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Uninstall"
    Delete "$SMPROGRAMS\Sonvale.lnk"
    !include "${LISTS}/uninstall-files.nsh"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Sonvale"
SectionEnd
