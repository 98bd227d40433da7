# Sourced by the project's scripts: need PACKAGE... installs the Debian packages not yet installed.
need() {
	missing=
	for pkg in "$@"; do
		dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q ' installed$' ||
			missing="$missing $pkg"
	done
	[ -z "$missing" ] && return 0
	if [ "$(id -u)" -ne 0 ]; then
		echo "missing Debian packages:$missing (install them as root)" >&2
		exit 1
	fi
	echo "installing:$missing" >&2
	apt-get update -qq
	# shellcheck disable=SC2086 # one word a package
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}
