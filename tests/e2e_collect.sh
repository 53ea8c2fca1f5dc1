#!/usr/bin/env bash
# The collector end to end with the stand-in product: the archive's layout and
# contents, the report file, the working folder afterwards, a hanging rules
# tool, and a second run in the same second.
source "$(dirname "$0")/e2e_lib.sh" "$1"
PD=$WINEPREFIX/drive_c/ProgramData/Corvane
NP_KEY='HKLM\SOFTWARE\Meridyne\Corvane Studio\Client\Network Protection'

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
Registry\Company.reg
Registry\Winlogon.reg
Registry\Services.reg
Registry\Enum.reg
Registry\Class.reg
Registry\Print.reg
Registry\Meridyne (Wow).reg
CvPolicy.inf
CvSysMods.log'
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
echo "$report" | grep -qx 'Product policy - see file "CvPolicy.inf"' || fail "policy title"
[ "$(echo "$report" | tail -n 3)" = "$rule
Dumps found - 0 files
$rule" ] || fail "dump list block at the end: $(echo "$report" | tail -n 5)"
[ "$(tail -c 4 "$x/CvSysInfo.log" | od -An -tx1 | tr -d " \n")" = "0a000a00" ] || fail "report does not end with an empty line"
grep -qa 'signature="$CHICAGO$"' <(iconv -f UTF-16LE -t UTF-8 "$x/CvPolicy.inf") || fail "policy file"

# --- the rules tool hangs: the run goes on after 16.384 s ---
product_reg add "$NP_KEY" /v StandInHangSeconds /t REG_DWORD /d 40 /f
sleep 1  # a working folder of its own: a new second
before=$(work_folders)
start=$(date +%s%3N)
code=$(collect /tmp/cv-e2e-$$.out -q)
elapsed=$(( $(date +%s%3N) - start ))  # milliseconds
product_reg delete "$NP_KEY" /v StandInHangSeconds /f
[ "$code" = 0 ] || fail "exit code $code with a hanging rules tool"
(( elapsed >= 16300 && elapsed < 40000 )) || fail "run with a hanging rules tool took $elapsed ms"
folder=$(new_folder "$before")
gcab -t "$folder/CvDiagInfo.cab" | grep -q NetworkProtection.rules && fail "rules of a hanging tool were packed"
[ -f "$folder/NetworkProtection.rules" ] || fail "rules file of a hanging tool was deleted"
gcab -t "$folder/CvDiagInfo.cab" | grep -q 'CvSysInfo.log' || fail "the run after the timeout lost the report"

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

# --- a second run in the same second: the working folder exists, 183 ---
made=()
for s in 0 1 2 3 4; do
  f=$TEMP_DIR/CvDiagInfo_$(date -d "+$s sec" +%Y%m%d%H%M%S)
  [ -d "$f" ] || { mkdir "$f"; made+=("$f"); }
done
code=$(collect /tmp/cv-e2e-$$.out -q)
rmdir "${made[@]}"
[ "$code" = 183 ] || fail "existing working folder gave exit code $code"
iconv -f UTF-16LE -t UTF-8 /tmp/cv-e2e-$$.out 2>/dev/null | grep -q ' error 0x000000b7' || fail "no error line for 183"
echo "e2e_collect: all checks passed"
