# Sourced by the project's scripts.  need COMMAND... makes sure that each command is there; c++
# stands for any C++ compiler, and g++-m32 for g++ with its 32-bit x86 libraries.  What is missing is
# installed, as root, by the system's package manager (apt-get or pkg); otherwise it is named, with
# the packages that bring it, and the script stops.
need() {
	missing=
	for cmd in "$@"; do
		case $cmd in
		g++-m32) printf '#include <cstdio>\n' | g++ -m32 -fsyntax-only -x c++ - ;;
		c++) command -v c++ || command -v g++ || command -v clang++ ;;
		*) command -v "$cmd" ;;
		esac >/dev/null 2>&1 || missing="$missing $cmd"
	done
	[ -z "$missing" ] && return 0
	if command -v apt-get >/dev/null 2>&1; then
		manager=apt-get
	elif command -v pkg >/dev/null 2>&1; then
		manager=pkg
	else
		echo "${0##*/}: missing:$missing; install them and run this again" >&2
		exit 1
	fi
	packages=
	for cmd in $missing; do
		packages="$packages $(package "$manager" "$cmd")"
	done
	if [ "$(id -u)" -ne 0 ]; then
		echo "${0##*/}: missing:$missing; as root: $manager install$packages" >&2
		exit 1
	fi
	echo "${0##*/}: installing:$packages" >&2
	# shellcheck disable=SC2086 # one word a package
	case $manager in
	apt-get)
		apt-get update -qq &&
			DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages >/dev/null ;;
	pkg) pkg install -y $packages >/dev/null ;;
	esac || {
		echo "${0##*/}: $manager could not install$packages" >&2
		exit 1
	}
}

# package MANAGER COMMAND: the package that brings the command.
package() {
	case $1:$2 in
	apt-get:c++) echo g++ ;;
	pkg:c++ | pkg:clang++) echo llvm ;;
	apt-get:unshare | apt-get:setsid) echo util-linux ;;
	apt-get:qemu-i386-static) echo qemu-user-static ;;
	apt-get:g++-m32) echo g++-multilib ;;
	apt-get:clang++) echo clang ;;
	apt-get:/usr/bin/nc) echo netcat-openbsd ;;
	*/bin/*) echo "${2##*/}" ;;
	*) echo "$2" ;;
	esac
}
