# Debian's hardening for every build that is not a sanitizer build, the
# package's included: fortified functions, a stack protector, a read-only
# relocation table bound at start (relro, now) and a position-independent
# executable. The flags are dpkg-buildflags' own when it is there, so that
# the package gets what Debian's policy asks of the release it is built on;
# the optimisation and debug flags stay the build type's.

option(VARNELO_HARDENING "Build with Debian's hardening flags" ON)

if(VARNELO_HARDENING AND NOT VARNELO_SANITIZE)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported(LANGUAGES CXX)

  set(VARNELO_HARDENING_COMPILE -D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security)
  set(VARNELO_HARDENING_LINK -Wl,-z,relro -Wl,-z,now)
  find_program(VARNELO_DPKG_BUILDFLAGS dpkg-buildflags)
  if(VARNELO_DPKG_BUILDFLAGS)
    set(flags "")
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${VARNELO_DPKG_BUILDFLAGS} --get ${kind}
        OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
      if(failed)
        set(flags "")
        break()
      endif()
      separate_arguments(value UNIX_COMMAND "${value}")
      # -g, -O2 and the path map are the build type's business
      list(FILTER value EXCLUDE REGEX "^-g$|^-O[0-9s]?$|^-ffile-prefix-map=")
      set(flags_${kind} ${value})
      set(flags ok)
    endforeach()
    if(flags)
      set(VARNELO_HARDENING_COMPILE ${flags_CPPFLAGS} ${flags_CXXFLAGS})
      set(VARNELO_HARDENING_LINK ${flags_LDFLAGS})
    endif()
  endif()
  # _FORTIFY_SOURCE needs the optimiser; a Debug build goes without it.
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:${VARNELO_HARDENING_COMPILE}>")
  add_link_options(${VARNELO_HARDENING_LINK})
  message(STATUS "Hardening: ${VARNELO_HARDENING_COMPILE} ${VARNELO_HARDENING_LINK}")
endif()
