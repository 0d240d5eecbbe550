; VELTRA's setup program (NSIS, MUI2, English and Italian). scripts/package.sh
; stages the files and writes the two lists this script includes, so that
; the uninstaller removes exactly what the installer put down.
; Defines from makensis' command line: VERSION, STAGE (the staged files),
; LISTS (the folder of install-files.nsh and uninstall-files.nsh), OUTFILE,
; and SIGN_COMMAND when the uninstaller is to be signed.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh

!define PRODUCT "VELTRA"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VELTRA"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\VELTRA"
!define PAGE_URL "http://127.0.0.1:8090/"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\VELTRA"
; An upgrade goes where the first install went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "LegalCopyright" "VELTRA maintainers"

!ifdef SIGN_COMMAND
!uninstfinalize '${SIGN_COMMAND} "%1"' = 0
!endif

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Italian"

LangString SecProgramsName ${LANG_ENGLISH} "VELTRA"
LangString SecProgramsName ${LANG_ITALIAN} "VELTRA"
LangString SecProgramsText ${LANG_ENGLISH} "The library (64-bit and 32-bit), veltra, ecrsim and DELPAD."
LangString SecProgramsText ${LANG_ITALIAN} "La libreria (64 e 32 bit), veltra, ecrsim e DELPAD."
LangString SecServiceName ${LANG_ENGLISH} "Windows service"
LangString SecServiceName ${LANG_ITALIAN} "Servizio di Windows"
LangString SecServiceText ${LANG_ENGLISH} "Registers veltra serve as the Windows service VELTRA (start it with: veltra service start)."
LangString SecServiceText ${LANG_ITALIAN} "Registra veltra serve come servizio di Windows VELTRA (avvio: veltra service start)."
LangString PageLinkName ${LANG_ENGLISH} "VELTRA service page"
LangString PageLinkName ${LANG_ITALIAN} "Pagina del servizio VELTRA"
LangString ServiceFailed ${LANG_ENGLISH} "veltra service install failed (exit code $0)."
LangString ServiceFailed ${LANG_ITALIAN} "veltra service install non riuscito (codice $0)."
LangString ServiceAbsent ${LANG_ENGLISH} "This veltra has no service command: the service is not registered."
LangString ServiceAbsent ${LANG_ITALIAN} "Questo veltra non ha il comando service: il servizio non viene registrato."

; $0: whether the installed veltra.exe knows the service command ("1" or "").
!macro HasServiceCommand
    StrCpy $0 ""
    ${If} ${FileExists} "$INSTDIR\veltra.exe"
        nsExec::Exec '"$INSTDIR\veltra.exe" service --help'
        Pop $1
        ${If} $1 == "0"
            StrCpy $0 "1"
        ${EndIf}
    ${EndIf}
!macroend

Function .onInit
    ${IfNot} ${RunningX64}
        MessageBox MB_ICONSTOP "VELTRA needs 64-bit Windows." /SD IDOK
        Abort
    ${EndIf}
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "!$(SecProgramsName)" SecPrograms
    SectionIn RO
    SetShellVarContext all
    ; A running service holds veltra.exe: an upgrade stops it first.
    ReadRegStr $2 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $2 != ""
        !insertmacro HasServiceCommand
        ${If} $0 == "1"
            nsExec::ExecToLog '"$INSTDIR\veltra.exe" service stop'
            Pop $1
        ${EndIf}
    ${EndIf}

    !include "${LISTS}\install-files.nsh"

    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\VELTRA"
    CreateShortcut "$SMPROGRAMS\VELTRA\DELPAD.lnk" "$INSTDIR\delpad.exe"
    WriteINIStr "$SMPROGRAMS\VELTRA\$(PageLinkName).url" "InternetShortcut" "URL" "${PAGE_URL}"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\delpad.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ; The shortcut's name depends on the language it was made in.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "PageLink" "$(PageLinkName).url"
SectionEnd

Section /o "$(SecServiceName)" SecService
    !insertmacro HasServiceCommand
    ${If} $0 == "1"
        nsExec::ExecToLog '"$INSTDIR\veltra.exe" service install'
        Pop $0
        ${If} $0 != "0"
            MessageBox MB_ICONEXCLAMATION "$(ServiceFailed)" /SD IDOK
            SetErrorLevel 2
        ${EndIf}
    ${Else}
        DetailPrint "$(ServiceAbsent)"
    ${EndIf}
SectionEnd

; An upgrade over a service that was stopped for it starts it again.
Section "-restart the service"
    ReadRegStr $2 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $2 != ""
        !insertmacro HasServiceCommand
        ${If} $0 == "1"
            nsExec::ExecToLog '"$INSTDIR\veltra.exe" service start'
            Pop $1
        ${EndIf}
    ${EndIf}
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${SecPrograms} "$(SecProgramsText)"
    !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "$(SecServiceText)"
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; File by file, then the folders only when empty: whatever the shop put in
; the installation folder stays, and so does %ProgramData%\VELTRA.
Section "Uninstall"
    SetShellVarContext all
    ReadRegStr $2 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $2 != ""
        !insertmacro HasServiceCommand
        ${If} $0 == "1"
            nsExec::ExecToLog '"$INSTDIR\veltra.exe" service uninstall'
            Pop $1
        ${EndIf}
    ${EndIf}

    ReadRegStr $2 HKLM "${UNINSTALL_KEY}" "PageLink"
    ${If} $2 != ""
        Delete "$SMPROGRAMS\VELTRA\$2"
    ${EndIf}
    Delete "$SMPROGRAMS\VELTRA\DELPAD.lnk"
    RMDir "$SMPROGRAMS\VELTRA"

    !include "${LISTS}\uninstall-files.nsh"

    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
