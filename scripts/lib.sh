# Helpers shared by the scripts (sourced, not run). Progress goes to stderr; the
# functions that produce a path print it on stdout.

# The supported interpreters, oldest first.
KESTRUM_PYTHONS=${KESTRUM_PYTHONS:-3.10 3.11 3.12 3.13}
# What the wheels are built with (the [build-system] requirements, plus the tools
# that scikit-build-core would otherwise fetch itself).
BUILD_REQUIREMENTS=("scikit-build-core>=0.11" "pybind11>=2.12" ninja cmake)
WHEELHOUSE=build/wheelhouse
# Interpreters whose builds fail on any compiler warning ("all" for every one).
KESTRUM_WERROR=${KESTRUM_WERROR:-}

say() { echo "$*" >&2; }

find_python() { # version -> path of an interpreter, or nothing
    local v=$1 p
    for p in "$(command -v "python$v" 2>/dev/null || true)" \
        "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$v".*/bin/"python$v"; do
        # pyenv shims exist for versions that are not selected: ask the interpreter itself
        if [ -n "$p" ] && [ -x "$p" ] && "$p" -c 'import sys' >/dev/null 2>&1; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

make_venv() { # version [directory] -> the venv's directory, created with the build tools
    local v=$1 venv=${2:-.venv-$1} py
    if [ ! -x "$venv/bin/python" ]; then
        py=$(find_python "$v") || { say "no python$v found (pyenv install $v)"; return 1; }
        say "== creating $venv with $py"
        "$py" -m venv "$venv"
        "$venv/bin/python" -m pip install -q --upgrade pip >&2
    fi
    "$venv/bin/python" -m pip install -q "${BUILD_REQUIREMENTS[@]}" >&2
    echo "$venv"
}

wheel_tag() { # venv -> cpXY
    "$1/bin/python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'
}

werror_for() { # version -> ON or OFF
    case " $KESTRUM_WERROR " in *" all "* | *" $1 "*) echo ON ;; *) echo OFF ;; esac
}

build_wheel() { # venv -> path of kestrum's wheel for that interpreter
    local venv=$1 tag ver
    tag=$(wheel_tag "$venv")
    ver=$("$venv/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    mkdir -p "$WHEELHOUSE"
    rm -f "$WHEELHOUSE"/kestrum-*-"$tag"-"$tag"-*.whl
    # No isolation: the venv's build tools, and the incremental build in build/<wheel tag>.
    # The warning setting is always passed, so a build directory never keeps a stale one.
    "$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$WHEELHOUSE" \
        -Ccmake.define.KESTRUM_WERROR="$(werror_for "$ver")" . >&2
    ls "$WHEELHOUSE"/kestrum-*-"$tag"-"$tag"-*.whl
}

install_wheel() { # venv wheel extras
    local venv=$1 whl=$2 extras=$3
    # The same version may be installed already: replace it, then add what the extras need.
    "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$whl" >&2
    "$venv/bin/python" -m pip install -q "$whl${extras:+[$extras]}" >&2
}
