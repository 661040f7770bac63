; Setup program of the Vantrel agent suite for 64-bit Windows. Built by
; makensis from packaging/windows/CMakeLists.txt, which defines VERSION,
; STAGE (the folder holding the programs) and OUTFILE.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Vantrel Agent Suite"
!define PUBLISHER "Vantrel"
!define SERVICE "VACSvc"
!define SUPERVISOR "VantrelCentralService.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vantrel"
; An upgrade goes where the last install went, so the service keeps its path.
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Stops the service and waits until it has stopped (net waits, sc does not);
; the supervisor ends both workers on its way out. A service that is absent or
; already stopped is no error here.
!macro StopService
  nsExec::ExecToLog '"$SYSDIR\net.exe" stop ${SERVICE}'
  Pop $0
!macroend

; Waits up to ten seconds until no running program holds FILE (opening an
; executable for writing fails while it runs).
!macro WaitUntilFree FILE
  StrCpy $1 0
  ${Do}
    ClearErrors
    FileOpen $2 "${FILE}" a
    ${IfNot} ${Errors}
      FileClose $2
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${IfThen} $1 >= 40 ${|} ${Break} ${|}
    Sleep 250
  ${Loop}
!macroend

; The workers end just after the service reports its stop; until then Windows
; keeps their files busy. Tries for about ten seconds, then leaves the file to
; be removed at the next restart.
!macro DeleteBusy FILE
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "${FILE}"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 >= 40
      Delete /REBOOTOK "${FILE}"
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
!macroend

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Install"
  SetRegView 64
  ; An upgrade: the running programs must let go of their files first.
  ${If} ${FileExists} "$INSTDIR\${SUPERVISOR}"
    DetailPrint "Stopping the running service"
    !insertmacro StopService
    !insertmacro WaitUntilFree "$INSTDIR\VantrelSysMonitorService.exe"
    !insertmacro WaitUntilFree "$INSTDIR\VantrelSysHardwareService.exe"
    !insertmacro WaitUntilFree "$INSTDIR\${SUPERVISOR}"
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${STAGE}\VantrelCentralService.exe"
  File "${STAGE}\VantrelSysMonitorService.exe"
  File "${STAGE}\VantrelSysHardwareService.exe"
  File "${STAGE}\vantrelctl.exe"

  ; The uninstaller and its entry come before the service, so a failed service
  ; set-up can still be removed from Add/Remove Programs.
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\VantrelSysHardwareService.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0

  DetailPrint "Installing the service ${SERVICE}"
  nsExec::ExecToLog '"$INSTDIR\${SUPERVISOR}" -install'
  Pop $0
  ; The supervisor ends with 0 even when the manager refused, so the service
  ; itself is asked for.
  nsExec::ExecToLog '"$SYSDIR\sc.exe" query ${SERVICE}'
  Pop $1
  ${If} $0 != 0
  ${OrIf} $1 != 0
    DetailPrint "The service could not be installed (exit codes $0, $1)"
    SetErrorLevel 3
    Abort "The service ${SERVICE} could not be installed."
  ${EndIf}

  DetailPrint "Starting the service ${SERVICE}"
  nsExec::ExecToLog '"$SYSDIR\net.exe" start ${SERVICE}'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The service did not start (exit code $0)"
    SetErrorLevel 4
    Abort "The service ${SERVICE} did not start."
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetRegView 64
  DetailPrint "Stopping and removing the service ${SERVICE}"
  !insertmacro StopService
  ${If} ${FileExists} "$INSTDIR\${SUPERVISOR}"
    nsExec::ExecToLog '"$INSTDIR\${SUPERVISOR}" -uninstall'
    Pop $0
  ${EndIf}

  !insertmacro DeleteBusy "$INSTDIR\VantrelSysMonitorService.exe"
  !insertmacro DeleteBusy "$INSTDIR\VantrelSysHardwareService.exe"
  !insertmacro DeleteBusy "$INSTDIR\VantrelCentralService.exe"
  !insertmacro DeleteBusy "$INSTDIR\vantrelctl.exe"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; Only an empty folder goes: anything the user put there stays.
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
