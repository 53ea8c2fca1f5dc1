#!/usr/bin/env bash
# The collector end to end with the stand-in product: the archive's layout and
# contents, the report file, the working folder afterwards and a hanging rules
# tool.
source "$(dirname "$0")/e2e_lib.sh" "$1"
PD=$WINEPREFIX/drive_c/ProgramData/Corvane
STUDIO_KEY='HKLM\SOFTWARE\Meridyne\Corvane Studio'
NP_KEY="$STUDIO_KEY\\Client\\Network Protection"
TRACE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\cvcc0\Trace'

# --- a normal run, output redirected (no console) ---
before=$(work_folders)
code=$(collect /tmp/cv-e2e-$$.out -q)
[ "$code" = 0 ] || { iconv -f UTF-16LE -t UTF-8 /tmp/cv-e2e-$$.out 2>/dev/null; fail "exit code $code"; }
folder=$(new_folder "$before")
[ -n "$folder" ] || fail "no working folder"
# A made file that another process (the rules tool's console host) still
# holds open is gone once that process lets go of it.
for _ in $(seq 50); do [ "$(ls "$folder")" = "CvDiagInfo.cab" ] && break; sleep 0.1; done
[ "$(ls "$folder")" = "CvDiagInfo.cab" ] || fail "working folder holds more than the archive: $(ls "$folder")"
cab=$folder/CvDiagInfo.cab

expected='Logs\System\setupapi.log
Logs\System\setupact.log
Logs\System\setuperr.log
Logs\System\setupapi.dev.log
Logs\System\setupapi.app.log
Logs\Corvane\*.log
Logs\Corvane\*.log
Logs\Corvane\Antivirus\*
Logs\Corvane\Antivirus\*
Logs\Corvane\Antivirus\Configs\*.xml
Logs\Corvane\Antivirus\Configs\*.xml
Logs\Corvane\Antimalware\*
Logs\Corvane\Antimalware\*
Logs\Corvane\Antimalware\Configs\*.xml
Logs\Corvane\Antimalware\Configs\*.xml
Logs\Corvane\NetworkProtection\*
Logs\Corvane\NetworkProtection\*
Logs\Corvane\NetworkProtection\NetworkProtection.rules
Logs\Corvane\AuthServer\*
Logs\Corvane\AuthServer\*
CvSysInfo.log
Registry\Altorum.reg
Registry\Company.reg
Registry\Winlogon.reg
Registry\Services.reg
Registry\Enum.reg
Registry\Class.reg
Registry\Print.reg
Registry\Meridyne (Wow).reg
CvPolicy.inf
CvSysMods.log
Events\Corvane.evt
CvManifest.json'
listed=$(gcab -t "$cab")
[ "$(echo "$listed" | wc -l)" = "$(echo "$expected" | wc -l)" ] || fail "gcab lists: $listed"
# Folders must match exactly, names as a pattern.
paste <(echo "$expected") <(echo "$listed") | while IFS=$'\t' read -r pattern name; do
  folder_of() { [[ $1 == *\\* ]] && echo "${1%\\*}" || echo ""; }
  # shellcheck disable=SC2053
  [[ $(folder_of "$name") == "$(folder_of "$pattern")" && ${name##*\\} == ${pattern##*\\} ]] \
    || fail "archive entry '$name' where '$pattern' belongs"
done
cabextract -l "$cab" | grep -q "All done, no errors." || fail "cabextract cannot read the archive"
echo "$listed" | grep -q 'readme.txt\|defaults.ini\|Archive\|Reports' && fail "a non-matching file or a folder was packed"

# The files are the same bytes as where they lie.
x=/tmp/cv-e2e-x-$$; rm -rf "$x"; mkdir -p "$x"
trap 'rm -rf "$x" /tmp/cv-e2e-$$.out; cleanup' EXIT
cabextract -q -d "$x" "$cab"
cmp "$x/Logs/Corvane/Antivirus/Configs/settings.xml" "$PD/Antivirus/Configs/settings.xml" || fail "settings.xml differs"
cmp "$x/Logs/System/setupapi.dev.log" "$WINEPREFIX/drive_c/windows/inf/setupapi.dev.log" || fail "setupapi.dev.log differs"
grep -q '\[Network Protection Rules\]' "$x/Logs/Corvane/NetworkProtection/NetworkProtection.rules" || fail "rules file content"

# The report: UTF-16LE without a byte-order mark, its blocks in order.
[ "$(head -c 8 "$x/CvSysInfo.log" | od -An -tx1 | tr -d " \n")" = "43006f0072007600" ] || fail "report does not begin with 'Corv' in UTF-16LE"
report=$(iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log")
rule=$(printf '%*s' 180 '' | tr ' ' -)
[ "$(echo "$report" | sed -n 2p)" = "Diagnostic Information Collector, Version: 8.3.1406.0" ] || fail "header line 2"
[ "$(echo "$report" | sed -n 3p)" = "" ] || fail "header line 3"
[ "$(echo "$report" | sed -n 4p)" = "$rule" ] || fail "header rule"
echo "$report" | sed -n 1p | grep -q '^Corvane Studio' || fail "header line 1"
# Right after the header's rule: processor, operating system and storage as
# Wine's WMI gives them (Wine offers no disk to the disk walk).
n=5
for pattern in 'CPU:' 'Caption: .+' 'Name: .+' 'MaxClockSpeed: ~[0-9]+ MHz' '' 'Operating system:' \
  'Name: .+\(Service Pack 1\)' 'BuildType: .*' 'Bitness: x64' 'Country: .+' 'Locale: 0x0409' \
  "TotalVirtualMemorySize: [0-9]{1,3}('[0-9]{3})* KB" '' 'Storage \(Physical Drives and Partitions\):' '' \
  'Storage \(Logical Drives\):' \
  "C: Local Disk - [A-Z0-9]+, Size: [0-9']+/[0-9']+ B \([0-9.]+/[0-9.]+ GB\), ~[0-9]+% free, Label: n/a, Number-Id: 0x[0-9A-F]{8}"; do
  line=$(echo "$report" | sed -n "${n}p")
  [[ $line =~ ^$pattern$ ]] || fail "report line $n is '$line' where /$pattern/ belongs"
  n=$((n + 1))
done
echo "$report" | grep -qx 'Product policy - see file "CvPolicy.inf"' || fail "policy title"
[ "$(echo "$report" | tail -n 3)" = "$rule
Dumps found - 0 files
$rule" ] || fail "dump list block at the end: $(echo "$report" | tail -n 5)"
[ "$(tail -c 4 "$x/CvSysInfo.log" | od -An -tx1 | tr -d " \n")" = "0a000a00" ] || fail "report does not end with an empty line"
grep -qa 'signature="$CHICAGO$"' <(iconv -f UTF-16LE -t UTF-8 "$x/CvPolicy.inf") || fail "policy file"

# --- the rules tool hangs and the policy library faults, in one run: it goes
# on after the tool's time limit, 16.384 s, which the trace names; the fault
# ends the policy section only, with a crash dump of the collector in the
# temporary folder that the trace names. The trace is switched on and off with
# the support guide's files; it goes to the product's common logs ---
product_reg add "$NP_KEY" /v StandInHangSeconds /t REG_DWORD /d 40 /f
product_reg add "$STUDIO_KEY" /v StandInPolicyFault /t REG_DWORD /d 2 /f
cp "$ROOT/docs/trace-on.reg" "$ROOT/docs/trace-off.reg" "$WINEPREFIX/drive_c/"
product_reg import 'C:\trace-on.reg'
[ "$(wine reg query "$TRACE_KEY\\CvDiagReport" /v ParamsMask 2>/dev/null | grep -c 0x3c01)" = 1 ] \
  || fail "trace-on.reg did not switch the trace on"
sleep 1  # a working folder of its own: a new second
before=$(work_folders)
code=$(collect /tmp/cv-e2e-$$.out -q)
product_reg delete "$NP_KEY" /v StandInHangSeconds /f
product_reg delete "$STUDIO_KEY" /v StandInPolicyFault /f
product_reg import 'C:\trace-off.reg'
wine reg query "$TRACE_KEY\\CvDiagReport" >/dev/null 2>&1 && fail "trace-off.reg left the trace on"
trace=$(cat "$PD/Logs/CvDiagReport.log" 2>/dev/null || true)
rm -f "$PD/Logs/CvDiagReport.log"
[ "$code" = 0 ] || fail "exit code $code with a hanging rules tool"
# The trace formats numbers the Russian way, with a decimal comma.
echo "$trace" | grep -qa 'WaitForSingleObject(): expired (16,384 sec)' \
  || fail "no time limit of 16.384 s in the trace: $(echo "$trace" | grep -a WaitForSingleObject)"
folder=$(new_folder "$before")
# Listed first: grep -q may stop reading before gcab has written everything,
# and pipefail would take gcab's broken pipe for a failure.
listed=$(gcab -t "$folder/CvDiagInfo.cab")
echo "$listed" | grep -q NetworkProtection.rules && fail "rules of a hanging tool were packed"
[ -f "$folder/NetworkProtection.rules" ] || fail "rules file of a hanging tool was deleted"
echo "$listed" | grep -q 'CvSysInfo.log' || fail "the run after the timeout lost the report"
dump=$(echo "$trace" | grep -ao 'MiniDumpFile: [^[:cntrl:]]*\.dmp' | head -n 1 | sed 's/^MiniDumpFile: //')
[ -n "$dump" ] || fail "no MiniDumpFile in the trace"
dump_file=$TEMP_DIR/${dump##*\\}
[ "$(head -c 4 "$dump_file" 2>/dev/null)" = MDMP ] || fail "no dump in the temporary folder: $dump"
rm -f "$dump_file"
rm -rf "$x"; mkdir -p "$x"
cabextract -q -d "$x" -F CvSysInfo.log "$folder/CvDiagInfo.cab"
report=$(iconv -f UTF-16LE -t UTF-8 "$x/CvSysInfo.log")
echo "$report" | grep -qx 'Product policy - e6060005' || fail "policy title after the fault"
echo "$report" | grep -q '^Dumps found - ' || fail "the report after the fault lost its dump list"

# --- no install path (authentication server without it): no rules, but the
# network-protection and authentication-server logs are still packed ---
AUTH_KEY='HKLM\SOFTWARE\Meridyne\Corvane Studio\Server\Authentication Server'
install_path=$(wine reg query "$AUTH_KEY" /v ProductInstallPath 2>/dev/null | tr -d '\r' \
  | sed -n 's/.*REG_SZ *//p')
[ -n "$install_path" ] || fail "the stand-in product has no authentication-server install path"
product_reg delete "$AUTH_KEY" /v ProductInstallPath /f
sleep 1
before=$(work_folders)
code=$(collect /tmp/cv-e2e-$$.out -q)
product_reg add "$AUTH_KEY" /v ProductInstallPath /t REG_SZ /d "$install_path" /f
[ "$code" = 0 ] || fail "exit code $code without an install path"
listed=$(gcab -t "$(new_folder "$before")/CvDiagInfo.cab")
echo "$listed" | grep -q 'NetworkProtection.rules' && fail "rules dumped without an install path"
[ "$(echo "$listed" | grep -c '^Logs\\Corvane\\NetworkProtection\\')" = 2 ] || fail "network-protection logs: $listed"
[ "$(echo "$listed" | grep -c '^Logs\\Corvane\\AuthServer\\')" = 2 ] || fail "authentication-server logs: $listed"

echo "e2e_collect: all checks passed"
