# shellcheck shell=bash
# Installing the package again over itself (the path of every upgrade): the
# board's own config.json stays as the board left it, the factory default
# follows the package, and the service restarts on the new files.
# shellcheck source-path=SCRIPTDIR source=../guest/lib.sh
source "$LANE_LIB"
# shellcheck source-path=SCRIPTDIR source=../guest/install_lib.sh
source "$LANE_REPO/tests/kernel-lane/guest/install_lib.sh"

config=/opt/zuk/configs/config.json
default=/opt/zuk/configs/default_config/default_config.json
check "service runs" wait_until 60 service_running || { end_scenario; exit 1; }
# The board's own setting (written as the daemon's user would) and a spoilt default.
sed -i 's/"BR": 500000/"BR": 250000/' "$config"
check "board's config.json differs from the shipped one" bash -c "! cmp -s $SHIPPED_CONFIG/config.json $config"
cp "$config" "$INSTALL_STATE/board-config.json"
echo '{}' > "$default"
old=$(service_pid)

mapfile -t debs < <(package_files)
check "dpkg -i over the installed packages" dpkg -i "${debs[@]}"
check "config.json is still the board's" cmp "$INSTALL_STATE/board-config.json" "$config"
check "config.json still the service user's" [ "$(owner_mode "$config")" = "diag-gateway:diag-gateway 644" ]
check "factory default back to the package's" cmp "$SHIPPED_CONFIG/default_config.json" "$default"
check "service restarted on the new files" wait_until 30 service_restarted_from "$old"
check "the board's bitrate reaches the bring-up" wait_until 60 journal_has -tsudo \
    "COMMAND=/usr/sbin/ip link set can0 up type can bitrate 250000"

end_scenario
