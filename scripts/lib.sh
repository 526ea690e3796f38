# Shared by the scripts in this folder; source it, do not run it.
# Sets ROOT (the repository root) and JOBS, and offers small helpers.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${MUREL_JOBS:-$(nproc)}"
# Seconds one test may run before ctest kills it, so that a hang cannot eat the CI budget.
TEST_TIMEOUT="${MUREL_TEST_TIMEOUT:-600}"

murel_log()
{
    printf '\n== %s\n' "$*"
}

murel_fail()
{
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# Installs missing build dependencies (cheap when everything is there). MUREL_SKIP_SETUP=1 skips it,
# for machines whose packages are managed some other way.
murel_setup()
{
    if [[ "${MUREL_SKIP_SETUP:-0}" != 1 ]]; then
        "$ROOT/scripts/setup-debian.sh"
    fi
}

# murel_configure <build dir> <cmake arguments...>: configures with Ninja.
murel_configure()
{
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@"
}
