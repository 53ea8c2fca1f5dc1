#!/usr/bin/env bash
# The report's sections end to end with the stand-in product: their order and
# title blocks, the registry branches and their files, the subsystems, the
# module list; and a packed .reg file imported into a fresh prefix.
source "$(dirname "$0")/e2e_lib.sh" "$1" e2e-report

before=$(work_folders)
code=$(collect /tmp/cv-e2e-report-$$.out -q)
[ "$code" = 0 ] || fail "exit code $code"
cab=$(new_folder "$before")/CvDiagInfo.cab
x=/tmp/cv-e2e-report-x-$$; rm -rf "$x"; mkdir -p "$x"
fresh=$BUILD/wineprefix-regimport
trap 'rm -rf "$x" /tmp/cv-e2e-report-$$.out; WINEPREFIX=$fresh wineserver -k 2>/dev/null; cleanup' EXIT
cabextract -q -d "$x" "$cab"

# The Windows branches under Registry, the module list at the root.
for file in Registry/Winlogon.reg Registry/Services.reg Registry/Enum.reg Registry/Class.reg Registry/Print.reg \
            CvSysMods.log; do
  [ -s "$x/$file" ] || fail "$file is not in the archive"
done

report=$(iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log" | tr -d '\r')
rule=$(printf '%*s' 180 '' | tr ' ' -)
# line_of TEXT: the number of the first line that is TEXT.
line_of() { echo "$report" | grep -nxF -- "$1" | head -n 1 | cut -d: -f1; }

# Sections in their order; every title stands between two rules after an
# empty line.
last=0
for title in 'Computer role:' 'Registry Keys' 'Drivers & Services' 'Installed software' \
             'Corvane Subsystems Status' 'Product policy - see file "CvPolicy.inf"' \
             'System Modules - see file "CvSysMods.log"' 'Dumps found - 0 files'; do
  n=$(line_of "$title")
  [ -n "$n" ] || fail "no '$title' in the report"
  (( n > last )) || fail "'$title' (line $n) is out of order"
  last=$n
  [ "$title" = 'Computer role:' ] && continue
  [ "$(echo "$report" | sed -n "$((n - 2)),$((n + 1))p")" = "
$rule
$title
$rule" ] || fail "title block of '$title'"
done

# Between two lines: the lines after the title FROM up to the empty line or
# rule that ends the block.
block() { echo "$report" | sed -n "$(( $(line_of "$1") + 2 )),\$p" | sed '/^$/,$d'; }

[ "$(block 'Registry Keys')" = 'HKLM\SOFTWARE\Altorum - "Altorum.reg"
HKLM\SOFTWARE\Meridyne - "Company.reg"
HKLM\SOFTWARE\MeridyneCo\CSP - error 0x00000001
HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon - "Winlogon.reg"
HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Authentication - error 0x00000001
HKLM\SYSTEM\CurrentControlSet\Services - "Services.reg"
HKLM\SYSTEM\CurrentControlSet\Enum - "Enum.reg"
HKLM\SYSTEM\CurrentControlSet\Control\Class - "Class.reg"
HKLM\SYSTEM\CurrentControlSet\Control\Print - "Print.reg"
HKLM\SOFTWARE\Wow6432Node\Altorum - error 0x00000001
HKLM\SOFTWARE\Wow6432Node\Meridyne - "Meridyne (Wow).reg"
HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows NT\CurrentVersion\Winlogon - error 0x00000001
HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\Authentication - error 0x00000001' ] \
  || fail "registry lines: $(block 'Registry Keys')"

[ "$(block 'Corvane Subsystems Status')" = 'CvEraser  : On
CvExeQuota: Off
CvDacs    : On
CvDiskEnc : Off
CvMC5xx   : On
CvPrnCtrl : Off
CvScpCtrl : On
CvFDC     : On' ] || fail "subsystem lines: $(block 'Corvane Subsystems Status')"

# An installed driver's line, ended by CR LF in the file.
driver_line=$(printf '%-40s;%-100s;%-2d;%-2d' cvexequota 'system32\drivers\cvexequota.sys' 1 4)
iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log" | grep -qxF "$driver_line"$'\r' || fail "no line for cvexequota"

# The module list: UTF-8 without a byte-order mark; the report counts its lines.
[ "$(head -c 1 "$x/CvSysMods.log" | od -An -tx1 | tr -d ' ')" = 0a ] || fail "module list does not begin with LF"
iconv -f UTF-8 -t UTF-8 "$x/CvSysMods.log" >/dev/null || fail "module list is not UTF-8"
modules_in() { awk -v h="Directory: \"$1\"" '$0 == h {on = 1; getline; next} /^-+$/ || /^$/ {on = 0} on' \
  "$x/CvSysMods.log" | wc -l; }
[ "$(block 'System Modules - see file "CvSysMods.log"')" = "\"C:\\windows\\system32\" - $(modules_in 'C:\windows\system32') modules
\"C:\\windows\\SysWOW64\" - 0 modules" ] || fail "module count lines: $(block 'System Modules - see file "CvSysMods.log"')"
(( $(modules_in 'C:\windows\system32') > 100 )) || fail "few system modules"

# The product's branch imports into a fresh prefix and reads back the same.
"$ROOT/script/wine-prefix" "$fresh" "$BUILD/bin"
query() { WINEPREFIX=$1 wine reg query 'HKLM\SOFTWARE\Meridyne' /s 2>/dev/null | tr -d '\r'; }
WINEPREFIX=$fresh wine reg delete 'HKLM\SOFTWARE\Meridyne' /f >/dev/null 2>&1 || true
cp "$x/Registry/Company.reg" "$fresh/drive_c/Company.reg"
(cd "$fresh/drive_c" && WINEPREFIX=$fresh wine reg import 'C:\Company.reg' >/dev/null 2>&1) || fail "reg import"
demo=$(query "$WINEPREFIX")
echo "$demo" | grep -q 'ProductLocale' || fail "demo prefix has no product settings"
[ "$(query "$fresh")" = "$demo" ] || fail "imported values differ: $(diff <(echo "$demo") <(query "$fresh"))"
echo "e2e_report: all checks passed"
