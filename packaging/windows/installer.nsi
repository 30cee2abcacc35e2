; The Windows installer: the tracker under Program Files, registered as a
; service through its own -sr with the port of /PORT=N (default 3000), and an
; uninstaller that stops the service and removes it through -sd.
; scripts/package.sh builds it and defines VERSION, EXE, README, ALERTS and OUTFILE.
Unicode true
Target amd64-unicode
!include LogicLib.nsh
!include FileFunc.nsh

!define NAME "Corvane Lattice Tracker"
!define SERVICE "corvane-lattice-tracker"
!define BINARY "corvane-lattice-tracker.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SERVICE}"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${NAME}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var Port

Function .onInit
  StrCpy $Port 3000
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PORT=" $1
  ${IfNot} ${Errors}
    StrCpy $Port $1
  ${EndIf}
  ; The tracker reads a non-number as a service name and would fail at every
  ; start; refusing it here leaves nothing installed.
  IntOp $1 $Port + 0
  ${If} $1 != $Port
  ${OrIf} $1 < 1
  ${OrIf} $1 > 65535
    MessageBox MB_ICONSTOP "/PORT= takes a port number from 1 to 65535, not '$Port'." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

!macro StopService
  ; net waits for the stopped state; ignored when there is no service.
  nsExec::ExecToLog '"$SYSDIR\net.exe" stop ${SERVICE}'
  Pop $0
!macroend

; The stopped process may take a moment to end and release its program file.
!macro DeleteProgram
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\${BINARY}"
    ${IfNot} ${Errors}
    ${OrIf} $1 >= 20
      ${Break}
    ${EndIf}
    Sleep 250
    IntOp $1 $1 + 1
  ${Loop}
!macroend

Section
  SetOutPath "$INSTDIR"
  !insertmacro StopService
  !insertmacro DeleteProgram
  File "/oname=${BINARY}" "${EXE}"
  File "/oname=README.md" "${README}"
  File "/oname=lattice-alerts.yml" "${ALERTS}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; Written before -sr, so that a failed install can be uninstalled too.
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ; -sr keeps an existing service as it is: an earlier install's goes first,
  ; so that this port is the one recorded.
  nsExec::ExecToLog '"$INSTDIR\${BINARY}" -sd'
  Pop $0
  nsExec::ExecToLog '"$INSTDIR\${BINARY}" -sr -p $Port'
  Pop $0
  ${If} $0 != 0
    DetailPrint "Registering the service failed (exit code $0)."
    Abort
  ${EndIf}
SectionEnd

Section Uninstall
  !insertmacro StopService
  nsExec::ExecToLog '"$INSTDIR\${BINARY}" -sd'
  Pop $0
  !insertmacro DeleteProgram
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\lattice-alerts.yml"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
