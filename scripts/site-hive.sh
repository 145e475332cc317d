# The registry values of an installed site, as its 32-bit installation keeps
# them, in the registry-export format; for scripts that run the program on a
# site (sourced, not run).
#   site_hive_text <location code> <install folder, ending in its separator> <database> <client token>
# Backslashes in the folder and the database are doubled, as the format wants.
site_hive_text() {
  local location=$1 install=${2//\\/\\\\} database=${3//\\/\\\\} token=$4
  cat <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Orvel]
"OrvelLocationCode"="$location"

[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Install]
"InstallType"="Server"
"PATH"="$install"

[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Corvane]
"Stage"="19.2.0.0"

[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Omnid\\Login]
"Database"="$database"

[HKEY_LOCAL_MACHINE\\Software\\Orvel\\DataCollector]
"ClientToken"="$token"
"LocCode"="$location"
"LogComm"="1"
REG
}
