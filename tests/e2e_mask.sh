#!/usr/bin/env bash
# Secrets in the exported registry branches: automatic logon in both registry
# views and the product's proxy password and secrets, next to values that only
# look alike. No secret may reach the archive in any encoding; the masked values
# keep their names and types, everything else stays as reg.exe wrote it, and
# the masked files import with reg.exe and read back the marker.
source "$(dirname "$0")/e2e_lib.sh" "$1" e2e-mask

MARKER='<masked by CvDiagReport>'
WINLOGON='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon'
WOW_WINLOGON='HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows NT\CurrentVersion\Winlogon'
PROXY='HKLM\SOFTWARE\Meridyne\Corvane Studio\Client\Network Protection\Proxy'
SERVICE_KEY='HKLM\SOFTWARE\Altorum\Corvane 5\Service'
LOGON_PW=WinlogonPw-7Qx2Vb9
ALT_PW=AltLogonPw-K3m8Zt
WOW_PW=WowLogonPw-5Hd1Rc
WOW_ALT_PW=WowAltPw-2Lp6Ny
PROXY_PW=ProxyPw-9Ws4Fe
RECOVERY_1=RecoveryKey-6Gt3Ua
RECOVERY_2=RecoveryKey-8Jb0Qm
# Long enough for reg.exe to continue it on further lines.
SECRET_BYTES=5ec7e7c0ffeeba5e0fd00dfeedfacecafebeef0123456789abcdef5a5a17e2c3d4a5b6c7d8e9f0a1b2
NOTE='Ask the administrator for the proxy password; the secret is not kept here.'

x=/tmp/cv-e2e-mask-x-$$
plain=/tmp/cv-e2e-mask-plain-$$
fresh=$BUILD/wineprefix-maskimport
trap 'rm -rf "$x" "$plain" /tmp/cv-e2e-mask-$$.out; WINEPREFIX=$fresh wineserver -k 2>/dev/null; cleanup' EXIT
rm -rf "$x" "$plain"; mkdir -p "$x" "$plain"

# Known state: the product's keys were imported afresh (e2e_lib.sh); Winlogon
# loses what an earlier run added, the 32-bit view's key is this test's alone.
for value in DefaultUserName DefaultPassword AltDefaultPassword PasswordExpiryWarning; do
  product_reg delete "$WINLOGON" /v "$value" /f || true
done
product_reg delete "$WOW_WINLOGON" /f || true
add() { product_reg add "$@" /f || fail "reg add $*"; }
for view in 64 32; do
  if [ $view = 64 ]; then pw=$LOGON_PW alt=$ALT_PW; else pw=$WOW_PW alt=$WOW_ALT_PW; fi
  add "$WINLOGON" /reg:$view /v AutoAdminLogon /t REG_SZ /d 1
  add "$WINLOGON" /reg:$view /v DefaultUserName /t REG_SZ /d corvane
  add "$WINLOGON" /reg:$view /v DefaultPassword /t REG_SZ /d "$pw"
  add "$WINLOGON" /reg:$view /v AltDefaultPassword /t REG_SZ /d "$alt"
  add "$WINLOGON" /reg:$view /v PasswordExpiryWarning /t REG_DWORD /d 5
done
add "$PROXY" /v ProxyUser /t REG_SZ /d corvane
add "$PROXY" /v ProxyPassword /t REG_SZ /d "$PROXY_PW"
add "$PROXY" /v ProxyNote /t REG_SZ /d "$NOTE"
add "$PROXY" /v RecoverySecrets /t REG_MULTI_SZ /d "$RECOVERY_1\\0$RECOVERY_2"
add "$SERVICE_KEY" /v ClientSecret /t REG_BINARY /d "$SECRET_BYTES"
add "$SERVICE_KEY" /v SecretRotationDays /t REG_DWORD /d 30

before=$(work_folders)
code=$(collect /tmp/cv-e2e-mask-$$.out -q)
[ "$code" = 0 ] || fail "exit code $code"
cabextract -q -d "$x" "$(new_folder "$before")/CvDiagInfo.cab"

# The same branches exported by reg.exe from the prefix as it is, unmasked.
declare -A BRANCH=([Winlogon.reg]=$WINLOGON ['Winlogon (Wow).reg']=$WOW_WINLOGON
                   [Company.reg]='HKLM\SOFTWARE\Meridyne' [Altorum.reg]='HKLM\SOFTWARE\Altorum')
for file in "${!BRANCH[@]}"; do
  [ -s "$x/Registry/$file" ] || fail "Registry\\$file is not in the archive"
  wine reg export "${BRANCH[$file]}" 'C:\cv-mask-plain.reg' /y >/dev/null 2>&1 || fail "reg export ${BRANCH[$file]}"
  mv "$WINEPREFIX/drive_c/cv-mask-plain.reg" "$plain/$file"
done

# --- No secret in any file of the archive, in any encoding -----------------
hex() { od -An -tx1 -v | tr -d ' \n'; }
patterns=$plain/patterns
: >"$patterns"
for secret in "$LOGON_PW" "$ALT_PW" "$WOW_PW" "$WOW_ALT_PW" "$PROXY_PW" "$RECOVERY_1" "$RECOVERY_2"; do
  printf '%s' "$secret" | hex >>"$patterns"; echo >>"$patterns"
  printf '%s' "$secret" | iconv -f UTF-8 -t UTF-16LE | hex >>"$patterns"; echo >>"$patterns"
done
# The binary secret as bytes, and as the start of its text in a .reg file.
echo "$SECRET_BYTES" >>"$patterns"
as_reg=$(echo "${SECRET_BYTES:0:24}" | sed 's/../&,/g; s/,$//')
printf '%s' "$as_reg" | hex >>"$patterns"; echo >>"$patterns"
printf '%s' "$as_reg" | iconv -f UTF-8 -t UTF-16LE | hex >>"$patterns"; echo >>"$patterns"
# leaks DIR: the files below DIR that hold any secret.
leaks() {
  find "$1" -type f ! -name patterns -print0 | while IFS= read -r -d '' f; do
    if hex <"$f" | grep -qF -f "$patterns"; then echo "$f"; fi
  done
}
# The search finds every secret in the unmasked exports, each where it lies.
for file in "${!BRANCH[@]}"; do
  [ -n "$(leaks "$plain" | grep -F "/$file")" ] || fail "the search finds no secret in the unmasked $file"
done
found=$(leaks "$x")
[ -z "$found" ] || fail "secrets in the archive: $found"

# --- Masked values keep name and type; everything else as reg.exe wrote it --
text() { iconv -f UTF-16 -t UTF-8 "$1" | tr -d '\r'; }
# without FILE NAMES...: the text of a .reg file without the named values.
without() {
  local file=$1; shift
  text "$file" | awk -v list="$*" '
    BEGIN { n = split(list, names, " "); for (i = 1; i <= n; i++) drop["\"" names[i] "\"="] = 1 }
    more { more = /\\$/; next }
    { for (start in drop) if (index($0, start) == 1) { more = /\\$/; next }; print }'
}
declare -A MASKED=([Winlogon.reg]='DefaultPassword AltDefaultPassword'
                   ['Winlogon (Wow).reg']='DefaultPassword AltDefaultPassword'
                   [Company.reg]='ProxyPassword RecoverySecrets' [Altorum.reg]='ClientSecret')
for file in "${!BRANCH[@]}"; do
  [ "$(without "$x/Registry/$file" ${MASKED[$file]})" = "$(without "$plain/$file" ${MASKED[$file]})" ] ||
    fail "$file differs beyond its masked values: $(diff <(without "$plain/$file" ${MASKED[$file]}) \
      <(without "$x/Registry/$file" ${MASKED[$file]}))"
done
for file in Winlogon.reg 'Winlogon (Wow).reg'; do
  for line in "\"DefaultPassword\"=\"$MARKER\"" "\"AltDefaultPassword\"=\"$MARKER\"" '"DefaultUserName"="corvane"' \
              '"PasswordExpiryWarning"=dword:00000005'; do
    text "$x/Registry/$file" | grep -qxF "$line" || fail "$file lacks: $line"
  done
done
for line in "\"ProxyPassword\"=\"$MARKER\"" "\"ProxyNote\"=\"$NOTE\"" '"RecoverySecrets"=hex(7):3c,00,6d,00,61,00,'; do
  text "$x/Registry/Company.reg" | grep -qF "$line" || fail "Company.reg lacks: $line"
done
for line in '"ClientSecret"=hex:3c,00,6d,00,61,00,' '"SecretRotationDays"=dword:0000001e'; do
  text "$x/Registry/Altorum.reg" | grep -qF "$line" || fail "Altorum.reg lacks: $line"
done

# --- The masked files import into a fresh prefix ----------------------------
"$ROOT/script/wine-prefix" "$fresh" "$BUILD/bin"
in_fresh() { (cd "$fresh/drive_c" && WINEPREFIX=$fresh wine "$@"); }
query() { in_fresh reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | grep -F "    $2    " | sed 's/^ *//'; }
in_fresh reg delete 'HKLM\SOFTWARE\Meridyne' /f >/dev/null 2>&1 || true
in_fresh reg delete 'HKLM\SOFTWARE\Altorum' /f >/dev/null 2>&1 || true
in_fresh reg delete "$WOW_WINLOGON" /f >/dev/null 2>&1 || true
for file in "${!BRANCH[@]}"; do
  cp "$x/Registry/$file" "$fresh/drive_c/cv-mask.reg"
  in_fresh reg import 'C:\cv-mask.reg' >/dev/null 2>&1 || fail "reg import of $file"
done
marker_utf16=$(printf '%s' "$MARKER" | iconv -f UTF-8 -t UTF-16LE | hex | tr a-f A-F)
for check in "$WINLOGON|DefaultPassword|REG_SZ    $MARKER" "$WINLOGON|AltDefaultPassword|REG_SZ    $MARKER" \
             "$WOW_WINLOGON|DefaultPassword|REG_SZ    $MARKER" "$WOW_WINLOGON|AltDefaultPassword|REG_SZ    $MARKER" \
             "$WINLOGON|PasswordExpiryWarning|REG_DWORD    0x5" "$PROXY|ProxyPassword|REG_SZ    $MARKER" \
             "$PROXY|RecoverySecrets|REG_MULTI_SZ    $MARKER" "$SERVICE_KEY|ClientSecret|REG_BINARY    $marker_utf16"; do
  IFS='|' read -r key value expected <<<"$check"
  [ "$(query "$key" "$value")" = "$value    $expected" ] || fail "$key $value reads: $(query "$key" "$value")"
done
# reg.exe writes the imported branches back exactly as the archive holds them.
for file in Company.reg Altorum.reg; do
  in_fresh reg export "${BRANCH[$file]}" 'C:\cv-mask-again.reg' /y >/dev/null 2>&1 || fail "reg export of $file"
  cmp -s "$fresh/drive_c/cv-mask-again.reg" "$x/Registry/$file" || fail "$file exported again differs"
done
rm -f "$fresh/drive_c/cv-mask.reg" "$fresh/drive_c/cv-mask-again.reg"
echo "e2e_mask: all checks passed"
