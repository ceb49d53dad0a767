# Sourced by ./run, ./test and ./package: installs what a fresh Debian 12 machine lacks, then
# configures and builds one build directory.
# Usage: talkmere_setup [more packages...]; talkmere_build DIR [cmake options...]

talkmere_packages=(cmake ninja-build g++ clang libclang-rt-14-dev qt6-base-dev qt6-base-private-dev
                   qt6-qpa-plugins libgl-dev fonts-dejavu-core)

talkmere_setup() {
    local missing=()
    for package in "${talkmere_packages[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then
            sudo=(sudo)
        else
            echo "These packages are missing and neither root nor sudo is available: ${missing[*]}" >&2
            return 1
        fi
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

talkmere_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
}
