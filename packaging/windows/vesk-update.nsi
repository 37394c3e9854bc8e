; The Windows installer: both programs and the manual under Program Files, a Start-menu
; entry and an uninstaller that Windows lists. Built by makensis with
;   -DVERSION=1.0.0.1 -DDIALOG=VeskUpdate.exe -DCONSOLE=vesk-update.exe
;   -DMANUAL=VeskUpdate.html -DLICENSE=LICENSE.txt -DOUT_FILE=vesk-update-1.0.0.1-setup.exe
; Both the installer and the uninstaller take /S for a silent run.

!ifndef VERSION | DIALOG | CONSOLE | MANUAL | LICENSE | OUT_FILE
  !error "VERSION, DIALOG, CONSOLE, MANUAL, LICENSE and OUT_FILE must be defined"
!endif

Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!define PRODUCT "Vesk USB Update Tool"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VeskUpdate"
; The folder the Start-menu entry runs the dialog in: where it reads the image files.
!define IMAGE_FOLDER "$DOCUMENTS\Vesk Update"

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES64\Vesk Update"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Tarsel"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "2026"

; The license page shows the tree's LICENSE (MIT); a silent install skips it.
LicenseData "${LICENSE}"
Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; For every user: Start menu, documents and the uninstall entry of the machine.
Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=VeskUpdate.exe" "${DIALOG}"
  File "/oname=vesk-update.exe" "${CONSOLE}"
  File "/oname=VeskUpdate.html" "${MANUAL}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; A shortcut starts in the output folder of the moment it is made.
  CreateDirectory "${IMAGE_FOLDER}"
  SetOutPath "${IMAGE_FOLDER}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\VeskUpdate.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarsel"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\VeskUpdate.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\VeskUpdate.exe"
  Delete "$INSTDIR\vesk-update.exe"
  Delete "$INSTDIR\VeskUpdate.html"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ; Only when empty: the operator's image files stay.
  RMDir "${IMAGE_FOLDER}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
