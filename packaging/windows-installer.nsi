; The Windows installer, quorvanel-VERSION-setup.exe: a 64-bit, per-machine
; installer with a silent mode (/S) and an uninstaller in Programs and
; Features. scripts/release builds it with
;   makensis -DVERSION=... -DWIN32DIR=... -DWIN64DIR=... -DREADME=... -DOUTFILE=... THIS
;
;   $INSTDIR\README.txt                 the read-me of the Windows zip
;   $INSTDIR\quorvanel-wic.dll          the 64-bit codec and thumbnail provider
;   $INSTDIR\x86\quorvanel-wic.dll      the 32-bit codec, for 32-bit programs
;   $INSTDIR\Plug-ins\                  the zip's ifqrvnel.spi, axqrvnel.spi and
;                                       qrv.exe (which loads them from its folder)
;   $INSTDIR\uninstall.exe
;
; Registration goes through the codec's own exports, so the installer and
; regsvr32 write the same table: the 64-bit view by DllRegisterServer, the
; 32-bit view by the 64-bit DLL's DllInstall with the 32-bit DLL's path (a
; 64-bit installer cannot load a 32-bit DLL to call its DllRegisterServer).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
!include LogicLib.nsh
!include x64.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quorvanel"
!define REGSVR32 '"$SYSDIR\regsvr32.exe" /s'
!define CODEC "$INSTDIR\quorvanel-wic.dll"
!define CODEC32 "$INSTDIR\x86\quorvanel-wic.dll"

Name "Quorvanel plug-ins ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quorvanel"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quorvanel plug-ins"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "Quorvanel plug-ins ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "Quorvanel"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Unregisters both views and removes every file and folder the installer
; made; the uninstaller and a failed install share it.
!macro RemoveEverything
  ExecWait '${REGSVR32} /u /n "/i:${CODEC32}" "${CODEC}"'
  ExecWait '${REGSVR32} /u "${CODEC}"'
  ; Explorer may still hold the codec: it then goes at the next restart.
  Delete /REBOOTOK "${CODEC}"
  Delete /REBOOTOK "${CODEC32}"
  Delete "$INSTDIR\Plug-ins\ifqrvnel.spi"
  Delete "$INSTDIR\Plug-ins\axqrvnel.spi"
  Delete "$INSTDIR\Plug-ins\qrv.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR\Plug-ins"
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend

Function .onInit
  SetRegView 64
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "This installer is for 64-bit Windows." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd

Section "Quorvanel plug-ins"
  SetOutPath "$INSTDIR"
  File "/oname=README.txt" "${README}"
  File "${WIN64DIR}\quorvanel-wic.dll"
  SetOutPath "$INSTDIR\x86"
  File "${WIN32DIR}\quorvanel-wic.dll"
  SetOutPath "$INSTDIR\Plug-ins"
  File "${WIN32DIR}\ifqrvnel.spi"
  File "${WIN32DIR}\axqrvnel.spi"
  File "${WIN32DIR}\qrv.exe"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ExecWait '${REGSVR32} "${CODEC}"' $0
  ${If} $0 == 0
    ExecWait '${REGSVR32} /n "/i:${CODEC32}" "${CODEC}"' $0
  ${EndIf}
  ${If} $0 != 0
    !insertmacro RemoveEverything
    MessageBox MB_ICONSTOP "The codec could not be registered (regsvr32 exit status $0)." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quorvanel plug-ins"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quorvanel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  !insertmacro RemoveEverything
SectionEnd
