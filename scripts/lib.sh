# shellcheck shell=bash
# Shared helpers for scripts/*; sourced, not run.

TALVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

TALVIK_COMMON_PACKAGES=(
    build-essential cmake zlib1g-dev libbenchmark-dev libgtest-dev fonts-dejavu-core fonts-noto-core
    fonts-cantarell dpkg-dev file help2man ser2net openssl iproute2 ansible-core libssl-dev
    minisign tshark
)
# shellcheck disable=SC2034 # taken by select_qt through their names
TALVIK_QT5_PACKAGES=(qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev)
# shellcheck disable=SC2034
TALVIK_QT6_PACKAGES=(qt6-base-dev qt6-base-dev-tools qt6-serialport-dev)
# shellcheck disable=SC2034
TALVIK_PACKAGE_CHECK_PACKAGES=(lintian appstream desktop-file-utils)
# shellcheck disable=SC2034
TALVIK_SCREEN_PACKAGES=(xvfb xauth x11-apps imagemagick)
# shellcheck disable=SC2034
TALVIK_FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# Chooses the Qt major version (5 or 6) to build against, with its packages and build
# directories: Qt 5 keeps the plain names, Qt 6 builds beside them in *-qt6/.
select_qt() {
    local suffix
    case "${1:-}" in
        5) suffix="" ;;
        6) suffix="-qt6" ;;
        *)
            echo "$(basename "$0"): --qt takes 5 or 6, not '${1:-}'" >&2
            exit 2
            ;;
    esac
    TALVIK_QT_MAJOR=$1
    TALVIK_BUILD_DIR="$TALVIK_ROOT/build$suffix"
    # shellcheck disable=SC2034 # used by the sourcing scripts
    TALVIK_SANITIZE_BUILD_DIR="$TALVIK_ROOT/build-asan$suffix"
    # shellcheck disable=SC2034
    TALVIK_PACKAGE_BUILD_DIR="$TALVIK_ROOT/build-pkg$suffix"
    local qt_packages="TALVIK_QT${1}_PACKAGES[@]"
    # shellcheck disable=SC2034
    TALVIK_BUILD_PACKAGES=("${TALVIK_COMMON_PACKAGES[@]}" "${!qt_packages}")
}
select_qt 5

# Installs those of the given Debian packages that are not installed yet.
ensure_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        # A removed package can leave its config files behind and still be known to dpkg.
        if ! dpkg -s "$pkg" 2>/dev/null | grep -q '^Status: install ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [[ ${#missing[@]} -eq 0 ]]; then
        return 0
    fi

    local sudo=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${missing[@]}"
}

# Configures and builds the tree in the given directory against the chosen Qt, warnings as
# errors; further arguments go to cmake.
build_tree() {
    local dir=$1
    shift
    cmake -S "$TALVIK_ROOT" -B "$dir" -DTALVIK_QT_MAJOR="$TALVIK_QT_MAJOR" -DTALVIK_WERROR=ON "$@"
    cmake --build "$dir" -j2
}

build_tool() {
    build_tree "$TALVIK_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# What the Debian package ships: a Release tree without the tests and benchmarks.
build_package_tree() {
    build_tree "$TALVIK_PACKAGE_BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DTALVIK_BENCH=OFF
}

# The same tree with AddressSanitizer and UndefinedBehaviorSanitizer; benchmarks left out.
build_sanitized() {
    build_tree "$TALVIK_SANITIZE_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVIK_SANITIZE=ON \
        -DTALVIK_BENCH=OFF
}
