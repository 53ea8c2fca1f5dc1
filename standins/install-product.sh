#!/usr/bin/env bash
# install-product.sh PREFIX BINDIR: installs the stand-in Corvane Studio product
# into the Wine prefix PREFIX (made if missing): its registry settings, its log
# and configuration folders with sample files, its tools from BINDIR, and
# sample Windows setup logs.
#
# Idempotent: files are rewritten only when they differ, and the registry is
# imported only when the settings differ from the last import into PREFIX.
# Each component has its own install_* function; add new ones to main.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 PREFIX BINDIR" >&2; exit 2; }
prefix=$(realpath -m "$1")
bindir=$(realpath "$2")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

export WINEPREFIX=$prefix WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"

# Product locations, as Windows paths.
PROGRAM_DATA='C:\ProgramData\Corvane'
PROGRAM_FILES='C:\Program Files\Corvane'
COMMON_LOGS="$PROGRAM_DATA\\Logs"
AV_LOGS="$PROGRAM_DATA\\Antivirus\\Logs"
AV_CONFIGS="$PROGRAM_DATA\\Antivirus\\Configs"
AM_LOGS="$PROGRAM_DATA\\Antimalware\\Logs"
AM_CONFIGS="$PROGRAM_DATA\\Antimalware\\Configs"
NP_DATA="$PROGRAM_DATA\\Network Protection"
NP_INSTALL="$PROGRAM_FILES\\Network Protection"
AUTH_DATA="$PROGRAM_DATA\\Authentication Server"
AUTH_INSTALL="$PROGRAM_FILES\\Authentication Server"

HKLM='HKEY_LOCAL_MACHINE'
STUDIO="$HKLM\\SOFTWARE\\Meridyne\\Corvane Studio"
STUDIO_WOW="$HKLM\\SOFTWARE\\Wow6432Node\\Meridyne\\Corvane Studio"

# --- helpers ---------------------------------------------------------------

# unix_path WINPATH: the prefix's Linux path of a C: path.
unix_path() {
  local rest=${1#[Cc]:\\}
  printf '%s/drive_c/%s' "$prefix" "${rest//\\//}"
}

# put_file WINPATH TEXT: a text file with CRLF line ends; each line of TEXT
# becomes one line of the file.
put_file() {
  local path content
  path=$(unix_path "$1")
  content=$(printf '%s\n' "$2" | sed 's/$/\r/')
  mkdir -p "$(dirname "$path")"
  if [ ! -f "$path" ] || [ "$(cat "$path")" != "$content" ]; then
    printf '%s\n' "$content" >"$path"
  fi
}

# put_file_if_missing WINPATH TEXT: as put_file, but an existing file is kept.
put_file_if_missing() {
  [ -e "$(unix_path "$1")" ] || put_file "$1" "$2"
}

# copy_binary FILE WINFOLDER: a built program or library from BINDIR.
copy_binary() {
  local source=$bindir/$1 target
  target=$(unix_path "$2")/$1
  [ -f "$source" ] || { echo "install-product: $source is not built" >&2; exit 1; }
  mkdir -p "$(dirname "$target")"
  cmp -s "$source" "$target" || cp "$source" "$target"
}

# The registry settings, collected as the text of one .reg file.
REG='Windows Registry Editor Version 5.00
'
reg_escape() { local s=${1//\\/\\\\}; printf '%s' "${s//\"/\\\"}"; }
reg_delete_key() { REG+=$'\n'"[-$1]"$'\n'; }
reg_key() { REG+=$'\n'"[$1]"$'\n'; }
reg_sz() { REG+="\"$(reg_escape "$1")\"=\"$(reg_escape "$2")\""$'\n'; }
reg_dword() { REG+=$(printf '"%s"=dword:%08x' "$(reg_escape "$1")" "$2")$'\n'; }

# import_registry: imports REG with the prefix's regedit unless that very text
# was the last one imported.
import_registry() {
  local stamp=$prefix/.cv-product.reg
  if printf '%s' "$REG" | cmp -s - "$stamp"; then
    return
  fi
  local file='C:\windows\temp\cv-product.reg'
  mkdir -p "$(dirname "$(unix_path "$file")")"
  printf '%s' "$REG" | sed 's/$/\r/' >"$(unix_path "$file")"
  # From inside the prefix: the caller's folder may be unreachable from Wine.
  (cd "$prefix/drive_c" && wine regedit /S "$file")
  rm -f "$(unix_path "$file")"
  printf '%s' "$REG" >"$stamp"
}

# --- components ------------------------------------------------------------

install_setup_logs() {
  put_file_if_missing 'C:\windows\setupapi.log' '[SetupAPI Log]
OS Version = 6.1.7601 Service Pack 1
Platform ID = 2 (NT)'
  put_file_if_missing 'C:\windows\setupact.log' 'Setup started: 2024/05/14 09:58:12
Setup completed: 2024/05/14 10:02:40'
  put_file_if_missing 'C:\windows\setuperr.log' 'Error: no errors recorded'
  put_file_if_missing 'C:\windows\inf\setupapi.dev.log' '[Device Install Log]
>>>  [Device Install (Hardware initiated) - ROOT\CVCC0\0000]
<<<  [Exit status: SUCCESS]'
  put_file_if_missing 'C:\windows\inf\setupapi.app.log' '[Application Install Log]
>>>  [SetupCopyOEMInf - cvcc0.inf]
<<<  [Exit status: SUCCESS]'
}

# The product's core: the driver's trace key (whose "TracePath" is the common
# logs folder), the product language and the policy that CvGpe.dll exports.
install_core() {
  reg_key "$HKLM\\SYSTEM\\CurrentControlSet\\Services\\cvcc0\\Trace"
  reg_sz TracePath "$COMMON_LOGS"
  reg_key "$STUDIO"
  reg_sz ProductLocale en-US
  reg_key "$STUDIO\\Policy"
  reg_dword PasswordMinLength 12
  reg_dword ScreenLockMinutes 10
  reg_dword RealTimeProtection 1
  reg_sz UpdateServer 'https://update.corvane.example/studio'

  put_file "$COMMON_LOGS\\CvCore.log" '2024-05-14 10:00:01 core service started
2024-05-14 10:00:02 policy loaded'
  put_file "$COMMON_LOGS\\CvUpdate.log" '2024-05-14 10:05:00 update check: up to date'
  put_file "$COMMON_LOGS\\readme.txt" 'Corvane Studio log folder (not a log)'
  put_file "$COMMON_LOGS\\Archive\\CvCore-20240501.log" '2024-05-01 08:00:00 archived log (in a subfolder)'
}

# install_scanner NAME LOGSDIR CONFIGSDIR KEY: the antivirus or anti-malware
# module, whose settings live in the registry's 32-bit view.
install_scanner() {
  local name=$1 logs=$2 configs=$3 key=$4
  reg_key "$key"
  reg_sz ConfigsDir "$configs"
  reg_sz LogsDir "$logs"
  put_file "$logs\\scan.log" "2024-05-14 11:00:00 $name: full scan finished, 0 threats"
  put_file "$logs\\update.txt" "2024-05-14 06:00:00 $name: signatures updated"
  put_file "$logs\\Reports\\report-1.log" "$name: report in a subfolder"
  put_file "$configs\\settings.xml" "<settings module=\"$name\"><realtime>on</realtime></settings>"
  put_file "$configs\\exclusions.xml" '<exclusions><path>C:\Build</path></exclusions>'
  put_file "$configs\\defaults.ini" "[$name]
mode=default"
}

# Network protection and the authentication server. The rules tool belongs to
# network protection and is also installed with the authentication server:
# when that server is installed, the collector takes the tool from its folder.
install_network_protection() {
  reg_key "$STUDIO\\Client\\Network Protection"
  reg_sz ProductDataPath "$NP_DATA"
  reg_sz ProductInstallPath "$NP_INSTALL"
  reg_key "$STUDIO\\Client\\Network Protection\\Rules"
  reg_sz 'Allow DNS' 'allow udp out 53'
  reg_sz 'Allow HTTPS' 'allow tcp out 443'
  reg_sz 'Block SMB' 'deny tcp in 445'
  copy_binary MdAuthModCfg.exe "$NP_INSTALL"
  put_file "$NP_DATA\\logs\\firewall.log" '2024-05-14 12:00:00 deny tcp in 445 from 10.0.0.7'
  put_file "$NP_DATA\\logs\\ids.log" '2024-05-14 12:01:00 no intrusions detected'

  reg_key "$STUDIO\\Server\\Authentication Server"
  reg_sz ProductDataPath "$AUTH_DATA"
  reg_sz ProductInstallPath "$AUTH_INSTALL"
  put_file "$AUTH_DATA\\logs\\auth.log" '2024-05-14 09:00:00 authentication server started'
  put_file "$AUTH_DATA\\logs\\sessions.log" '2024-05-14 09:10:00 session opened for CORVANE\admin'
  copy_binary MdAuthModCfg.exe "$AUTH_INSTALL"
}

# The product's service, which CvSrvApi.dll (next to the collector, where the
# build puts it) reaches: installed, with the client's version.
install_service() {
  reg_key "$STUDIO\\Service"
  reg_dword Installed 1
  reg_key "$HKLM\\SOFTWARE\\Altorum\\Corvane 5"
  reg_sz ClientVersion 8.3
}

# The protection subsystems' drivers, whose service keys the driver installer
# library (CvDriverInstaller.dll, next to the collector) answers from: a driver
# is enabled unless its key is missing or its start mode is 4 (disabled). The
# demand start mode (3) keeps Wine from loading the drivers.
install_driver_installer() {
  local driver start
  for driver in cveraser:3 cvexequota:4 cvdacs:3 cvdiskenc: cvmc5xx:3 cvprnctrl:4 cvscpctrl:3 cvfdc:3; do
    start=${driver#*:}
    driver=${driver%:*}
    reg_delete_key "$HKLM\\SYSTEM\\CurrentControlSet\\Services\\$driver"
    [ -n "$start" ] || continue
    reg_key "$HKLM\\SYSTEM\\CurrentControlSet\\Services\\$driver"
    reg_sz ImagePath "system32\\drivers\\$driver.sys"
    reg_dword Type 1
    reg_dword Start "$start"
  done
}

# The product's keys are wholly the installer's: each import starts afresh.
reset_product_keys() {
  reg_delete_key "$HKLM\\SOFTWARE\\Meridyne"
  reg_delete_key "$HKLM\\SOFTWARE\\Wow6432Node\\Meridyne"
  reg_delete_key "$HKLM\\SOFTWARE\\Altorum"
}

main() {
  "$here/../script/wine-prefix" "$prefix" "$bindir"
  reset_product_keys
  install_setup_logs
  install_core
  install_scanner Antivirus "$AV_LOGS" "$AV_CONFIGS" "$STUDIO_WOW\\Client\\Antivirus Protection"
  install_scanner Antimalware "$AM_LOGS" "$AM_CONFIGS" "$STUDIO_WOW\\Client\\Anti-Malware Protection"
  install_network_protection
  install_service
  install_driver_installer
  import_registry
}

main
