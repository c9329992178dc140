; SPDX-FileCopyrightText: The Sonvale authors
; SPDX-License-Identifier: GPL-3.0-or-later
; Sonvale's installer for 64-bit Windows. scripts/windows.sh builds it from
; the release folder with Debian's makensis:
;
;   makensis -DVERSION=0.1.0 -DLISTS=<folder> -DOUTFILE=<setup.exe>
;            -DICON=<sonvale.ico> -DSIZE_KB=<size> -DLICENSE=<text file>
;            [-DTHD_ASSISTANT] packaging/windows/sonvale.nsi
;
; LISTS holds install-files.nsh and uninstall-files.nsh, the script's lists
; of the release folder's files to install and to remove: the uninstaller
; removes exactly what was installed, nothing else in the folder. LICENSE is
; the text of the licence page (Sonvale's, with CR LF line ends).
;
; THD_ASSISTANT: the release holds the THD assistant, sonvale-thd.exe, which
; gets a Start-menu entry of its own.
; It installs into Program Files, adds a Start-menu entry for every user and
; an entry in "Installed apps", makes .sonvale files show as "Sonvale preset"
; with the program's icon, and (a component, on by default) puts its folder
; on the system PATH for sonvalectl and sonvale-preset. It runs silently with
; /S, taking the defaults (/D=<folder> picks another folder).

; A 64-bit installer and uninstaller (PE32+): they run where 32-bit programs
; cannot.
Target amd64-unicode
!include MUI2.nsh
!include x64.nsh
!include LogicLib.nsh
!include WinMessages.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Sonvale"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define PRESET_CLASS "Sonvale.Preset"

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
; The GPL asks nothing of someone who only runs the program: the page informs,
; it does not ask for consent.
!define MUI_LICENSEPAGE_TEXT_TOP "Sonvale is free software. Press Page Down to read its licence."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "You need not accept the licence to use Sonvale. The licences of the parts it includes from others (Qt, libusb, the MinGW-w64 runtime and others) are installed in its licenses folder."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!define MUI_FINISHPAGE_RUN "$INSTDIR\sonvale.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Sonvale"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_COMPONENTS
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

Section "Sonvale" SecProgram
    SectionIn RO
    !include "${LISTS}/install-files.nsh"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; Started from the entry, the program's working folder is its own, where
    ; the THD test finds Presets\THDTest.sonvale.
    CreateShortcut "$SMPROGRAMS\Sonvale.lnk" "$INSTDIR\sonvale.exe" "" "$INSTDIR\sonvale.exe" 0 \
        SW_SHOWNORMAL "" "Tunes the ES9038 USB DAC"
!ifdef THD_ASSISTANT
    CreateShortcut "$SMPROGRAMS\Sonvale THD assistant.lnk" "$INSTDIR\sonvale-thd.exe" "" \
        "$INSTDIR\sonvale-thd.exe" 0 SW_SHOWNORMAL "" "Measures the DAC's harmonic distortion and nulls it"
!endif

    ; Presets show as such; nothing opens them (sonvalectl load does).
    WriteRegStr HKLM "Software\Classes\.sonvale" "" "${PRESET_CLASS}"
    WriteRegStr HKLM "Software\Classes\${PRESET_CLASS}" "" "Sonvale preset"
    WriteRegStr HKLM "Software\Classes\${PRESET_CLASS}\DefaultIcon" "" "$INSTDIR\sonvale.exe,0"
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'   ; SHCNE_ASSOCCHANGED

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

; The PATH is read into an NSIS string, which holds at most
; ${NSIS_MAX_STRLEN} characters with its end: a longer value cannot be read
; (ReadRegStr fails) or written whole, and writing back what came instead
; would destroy the user's PATH. Such a PATH is left exactly as it is.
!define /math MAX_PATH_CHARS ${NSIS_MAX_STRLEN} - 1
!define PATH_TOO_LONG "The PATH is too long for the installer to change safely, so it is left as it was."

Var PathValue
Var PathLength
Var EntryStart    ; where FindPathEntry found the entry, -1 when nowhere
Var EntryEnd

; PathValue and PathLength := the system PATH; jumps to UNSAFE when it
; cannot be held whole.
!macro READ_PATH UNSAFE
    ClearErrors
    ReadRegStr $PathValue HKLM "${ENVIRONMENT_KEY}" "Path"
    IfErrors ${UNSAFE}
    StrLen $PathLength $PathValue
    IntCmp $PathLength ${MAX_PATH_CHARS} ${UNSAFE} 0 ${UNSAFE}
!macroend

; The first entry of PathValue (entries are separated by ";") that equals
; $0, case aside as on Windows: EntryStart and EntryEnd.
!macro FIND_PATH_ENTRY UN
Function ${UN}FindPathEntry
    StrCpy $EntryStart 0
    StrCpy $EntryEnd 0
    ${Do}
        ${If} $EntryEnd < $PathLength
            StrCpy $R0 $PathValue 1 $EntryEnd
            ${If} $R0 != ";"
                IntOp $EntryEnd $EntryEnd + 1
                ${Continue}
            ${EndIf}
        ${EndIf}
        IntOp $R0 $EntryEnd - $EntryStart
        StrCpy $R0 $PathValue $R0 $EntryStart
        ${If} $R0 == $0
            Return
        ${EndIf}
        ${If} $EntryEnd >= $PathLength
            StrCpy $EntryStart -1
            Return
        ${EndIf}
        IntOp $EntryEnd $EntryEnd + 1
        StrCpy $EntryStart $EntryEnd
    ${Loop}
FunctionEnd
!macroend
!insertmacro FIND_PATH_ENTRY ""
!insertmacro FIND_PATH_ENTRY "un."

Section "Add to PATH" SecPath
    !insertmacro READ_PATH unsafe
    ; Already on it, put there by the user: nothing to add, nothing to take
    ; away later.
    StrCpy $0 "$INSTDIR"
    Call FindPathEntry
    ${If} $EntryStart >= 0
        Return
    ${EndIf}
    StrLen $1 "$INSTDIR"
    IntOp $1 $1 + $PathLength
    IntOp $1 $1 + 1
    IntCmp $1 ${MAX_PATH_CHARS} 0 0 unsafe
    ${If} $PathValue == ""
        WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$INSTDIR"
    ${Else}
        WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$PathValue;$INSTDIR"
    ${EndIf}
    WriteRegStr HKLM "Software\Sonvale" "PathEntry" "$INSTDIR"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    Return
unsafe:
    DetailPrint "${PATH_TOO_LONG}"
    MessageBox MB_ICONINFORMATION "${PATH_TOO_LONG}$\r$\nTo run sonvalectl and sonvale-preset by name, add $INSTDIR to it yourself." /SD IDOK
SectionEnd

!ifdef THD_ASSISTANT
LangString DESC_PROGRAM ${LANG_ENGLISH} "The window, the THD assistant, sonvalectl, sonvale-preset, the example presets and the licences."
!else
LangString DESC_PROGRAM ${LANG_ENGLISH} "The window, sonvalectl, sonvale-preset, the example presets and the licences."
!endif
LangString DESC_PATH ${LANG_ENGLISH} "Adds the install folder to the system PATH, so that sonvalectl and sonvale-preset run by name in any new terminal."
!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecProgram} $(DESC_PROGRAM)
    !insertmacro MUI_DESCRIPTION_TEXT ${SecPath} $(DESC_PATH)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

; Takes out the entry the installer added, with the ";" it added before it,
; so that the PATH is again what it was; every other entry stays.
Function un.RemovePathEntry
    ReadRegStr $0 HKLM "Software\Sonvale" "PathEntry"
    ${If} $0 == ""
        Return
    ${EndIf}
    !insertmacro READ_PATH unsafe
    Call un.FindPathEntry
    ${If} $EntryStart < 0
        Return
    ${EndIf}
    ${If} $EntryStart > 0
        IntOp $EntryStart $EntryStart - 1           ; with the ";" before it
    ${ElseIf} $EntryEnd < $PathLength
        IntOp $EntryEnd $EntryEnd + 1               ; the first: with the one after it
    ${EndIf}
    StrCpy $1 $PathValue $EntryStart
    StrCpy $2 $PathValue "" $EntryEnd
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1$2"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
    Return
unsafe:
    DetailPrint "${PATH_TOO_LONG}"
    MessageBox MB_ICONINFORMATION "${PATH_TOO_LONG}$\r$\nRemove $0 from it yourself." /SD IDOK
FunctionEnd

Section "Uninstall"
    Call un.RemovePathEntry
    ReadRegStr $0 HKLM "Software\Classes\.sonvale" ""
    ${If} $0 == "${PRESET_CLASS}"
        DeleteRegKey HKLM "Software\Classes\.sonvale"
    ${EndIf}
    DeleteRegKey HKLM "Software\Classes\${PRESET_CLASS}"
    System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'

    Delete "$SMPROGRAMS\Sonvale.lnk"
    Delete "$SMPROGRAMS\Sonvale THD assistant.lnk"
    !include "${LISTS}/uninstall-files.nsh"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DeleteRegKey HKLM "Software\Sonvale"
SectionEnd
