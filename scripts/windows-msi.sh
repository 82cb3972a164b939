#!/usr/bin/env bash
# Builds the Windows installer build-win/Pesavo.msi with wixl (Debian's msitools) from the package
# scripts/windows-package.sh staged in build-win/package/Pesavo: the same files as
# pesavo-windows.zip, installed for every user under Program Files\Pesavo, with a Start-menu entry
# (packaging/windows/Pesavo.wxs). Its version is the one of the program's version block.
set -euo pipefail
cd "$(dirname "$0")/.."
stage=build-win/package/Pesavo
for tool in wixl msibuild msiinfo; do
  if ! command -v $tool >/dev/null; then
    echo "SKIPPED: the Windows installer needs $tool (scripts/deps.sh installs wixl and msitools)"
    exit 0
  fi
done
if [ ! -f "$stage/bin/Pesavo.exe" ]; then
  echo "SKIPPED: the Windows installer needs the staged package (scripts/windows-package.sh makes it)"
  exit 0
fi
# PRODUCTVERSION a,b,c,d of src/win32/Pesavo.rc, as a.b.c.d.
version=$(sed -n 's/^\s*PRODUCTVERSION\s\+\([0-9]\+\)\s*,\s*\([0-9]\+\)\s*,\s*\([0-9]\+\)\s*,\s*\([0-9]\+\).*/\1.\2.\3.\4/p' \
  src/win32/Pesavo.rc | head -1)
[ -n "$version" ] || { echo "no PRODUCTVERSION in src/win32/Pesavo.rc"; exit 1; }

out=build-win/msi
rm -rf "$out" build-win/Pesavo.msi
mkdir -p "$out"
# The language files, the live page, the manual and the site's schema are whatever the package
# holds (the PDF, or the HTML pages and their images), each file a component of its own. wixl (0.101) crashes on names beyond
# ASCII (the manual's is Chinese): those go in under a short stand-in and get their names
# afterwards, in codepage 936, which holds them (Windows Installer has no UTF-8 codepage).
/usr/bin/python3 - "$stage" "$out" <<'PY'
import hashlib, os, sys
from xml.sax.saxutils import quoteattr
stage, out = sys.argv[1:]
fragment, renames, count = [], [], [0]
def ident(kind, path):
    return kind + hashlib.md5(path.encode()).hexdigest().upper()
def name(kind, key, real):  # the name wixl is given; a stand-in when it is not plain ASCII
    if real.isascii():
        return real
    real.encode('gbk')  # (a name codepage 936 cannot hold fails the build here)
    assert "'" not in real, real
    count[0] += 1
    stem, ext = os.path.splitext(real)
    short = 'PSV%05d%s' % (count[0], ext[:4].upper() if ext.isascii() else '')
    renames.append((kind, key, short + '|' + real))
    return short
def folder(path, components, depth):
    pad = '  ' * depth
    for entry in sorted(os.listdir(os.path.join(stage, path))):
        rel = path + '/' + entry
        if os.path.isdir(os.path.join(stage, rel)):
            key = ident('d', rel)
            fragment.append('%s<Directory Id="%s" Name=%s>' % (pad, key, quoteattr(name('Directory', key, entry))))
            folder(rel, components, depth + 1)
            fragment.append(pad + '</Directory>')
        else:
            key, component = ident('f', rel), ident('c', rel)
            components.append(component)
            fragment.append('%s<Component Id="%s" Guid="*" Win64="yes"><File Id="%s" Name=%s Source=%s KeyPath="yes"/></Component>'
                            % (pad, component, key, quoteattr(name('File', key, entry)), quoteattr('$(var.Stage)/' + rel)))
fragment.append('<?xml version="1.0" encoding="utf-8"?>\n<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Fragment>')
groups = []
for path, parent, group in (('bin/Language', 'BINDIR', 'Languages'), ('bin/Web', 'BINDIR', 'WebPage'), ('Doc', 'INSTALLDIR', 'Manual'),
                           ('Site', 'INSTALLDIR', 'SiteSchema')):
    components = []
    top = ident('d', path)
    fragment.append('<DirectoryRef Id="%s"><Directory Id="%s" Name="%s">' % (parent, top, os.path.basename(path)))
    folder(path, components, 2)
    fragment.append('</Directory></DirectoryRef>')
    if not components:
        sys.exit('nothing in %s/%s' % (stage, path))
    groups.append('<ComponentGroup Id="%s">%s</ComponentGroup>' % (group, ''.join('<ComponentRef Id="%s"/>' % c for c in components)))
fragment += groups + ['</Fragment></Wix>']
open(os.path.join(out, 'files.wxs'), 'w', encoding='utf-8').write('\n'.join(fragment) + '\n')
with open(os.path.join(out, 'names.sql'), 'w', encoding='utf-8') as sql:
    for kind, key, real in renames:
        column = 'FileName' if kind == 'File' else 'DefaultDir'
        sql.write("UPDATE `%s` SET `%s` = '%s' WHERE `%s` = '%s'\n" % (kind, column, real, kind, key))
PY

# (run in its own folder, with paths relative to it: wixl leaves the icon it embeds where it runs)
(cd "$out" && wixl -a x64 -D Version="$version" -D Stage=../package/Pesavo -D Icon=../../src/win32/icons/127.ico \
  -o Pesavo.msi ../../packaging/windows/Pesavo.wxs files.wxs)
# What wixl cannot say: the tables' codepage, then the real names; a rebuild of the same version
# counted as an upgrade (the upgrade row's maximum version inclusive, 512).
printf '\r\n\r\n936\t_ForceCodepage\r\n' > "$out/_ForceCodepage.idt"
msibuild "$out/Pesavo.msi" -i "$out/_ForceCodepage.idt"
upgrade_code=$(sed -n 's/.*UpgradeCode="\([^"]*\)".*/\1/p' packaging/windows/Pesavo.wxs)
{
  cat "$out/names.sql"
  # (the upgrade row's attributes are part of its key: the row is replaced)
  echo "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'"
  echo "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`)" \
    "VALUES ('{$upgrade_code}', '$version', 513, 'WIX_UPGRADE_DETECTED')"
} | while read -r query; do msibuild "$out/Pesavo.msi" -q "$query"; done
mv "$out/Pesavo.msi" build-win/Pesavo.msi
echo "-- build-win/Pesavo.msi: $(stat -c %s build-win/Pesavo.msi) bytes, Pesavo $version," \
  "$(msiinfo export build-win/Pesavo.msi File | tail -n +4 | wc -l) files"
