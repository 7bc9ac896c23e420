#!/usr/bin/env bash
# build-msi.sh OUTPUT ARCH VERSION PATHVIGIL_DLL PVSETUP_DLL HELP_FILE
# Builds one Windows Installer package from pathvigil.wxs with wixl, then adds with msibuild what
# wixl's subset of the source language cannot say:
#  - the empty key CLSID\{...}\Programmable (a Registry row with the name "*": created at install,
#    removed at uninstall);
#  - the public properties in SecureCustomProperties, next to the upgrade search's own;
#  - the module file's version;
#  - the hidden-target bit (0x2000) on the two actions that carry settings, so the installer never
#    logs their data.
set -euo pipefail
out=$1 arch=$2 version=$3 dll=$4 setup=$5 help=$6
here=$(cd "$(dirname "$0")" && pwd)
tmp="$out.tmp"
stage="$out.files"
rm -rf "$tmp" "$stage"
# wixl takes the packaged files by names relative to the source, so they are gathered beside it.
mkdir -p "$stage"
cp "$here/pathvigil.wxs" "$stage/"
cp "$dll" "$stage/Pathvigil.dll"
cp "$setup" "$stage/pvsetup.dll"
cp "$help" "$stage/PathvigilHelp.chm"
(cd "$stage" && wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Dll=Pathvigil.dll \
  -D SetupDll=pvsetup.dll -D HelpFile=PathvigilHelp.chm -o "$tmp" pathvigil.wxs)
q() { msibuild "$tmp" -q "$1"; }
q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('RegProgrammable', 0, 'CLSID\\{A2F457C5-04AC-4B20-BE8C-BD97F3823376}\\Programmable', '*', 'Registration')"
q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;CHECKURL;FORBIDDENURL;ACCOUNT;ACCOUNTPASSWORD;SETTINGSPASSWORD;REMOVESETTINGS' WHERE \`Property\` = 'SecureCustomProperties'"
# The module's version, so that an upgrade replaces the file by the versioned-file rules.
q "UPDATE \`File\` SET \`Version\` = '$version' WHERE \`File\` = 'PathvigilDll'"
# wixl marks immediate actions "no impersonation", which only deferred ones can be: plain DLL calls.
q "UPDATE \`CustomAction\` SET \`Type\` = 1 WHERE \`Action\` = 'PvSetHelpDir'"
q "UPDATE \`CustomAction\` SET \`Type\` = 8193 WHERE \`Action\` = 'PvPrepareSettings'"
q "UPDATE \`CustomAction\` SET \`Type\` = 11265 WHERE \`Action\` = 'PvApplySettings'"
mv "$tmp" "$out"
rm -rf "$stage"
