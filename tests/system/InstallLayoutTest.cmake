# Installs the build into a fresh prefix and checks what lands there: every program, library and
# plug-in, the device files, the launch-daemon list and the systemd unit naming the prefix's netwardd.
# An installed program then runs from the prefix alone, which proves its run path.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -DBINDIR=bin -DLIBDIR=lib -DDATADIR=share -P InstallLayoutTest.cmake

cmake_minimum_required(VERSION 3.20)
foreach(argument BUILD_DIR PREFIX BINDIR LIBDIR DATADIR)
    if(NOT DEFINED ${argument})
        message(FATAL_ERROR "${argument} is not given")
    endif()
endforeach()

file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE error)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${status}): ${error}")
endif()

set(expected
    ${BINDIR}/netwardd ${BINDIR}/scutil ${BINDIR}/launchctl ${BINDIR}/notifyutil ${BINDIR}/dnscrypt-proxy
    ${BINDIR}/springboard-host ${BINDIR}/resolved-bridge
    ${LIBDIR}/libplatform_foundation.so ${LIBDIR}/libplatform_corefoundation.so
    ${LIBDIR}/libplatform_systemconfiguration.so ${LIBDIR}/libplatform_launchd.so ${LIBDIR}/libplatform_shell.so
    ${LIBDIR}/libplatform_uikit.so ${LIBDIR}/libplatform_preferences.so ${LIBDIR}/libplatform_objc.so
    ${LIBDIR}/tarvikdns/TarvikDNS.bundle/TarvikDNS ${LIBDIR}/tarvikdns/TarvikDNS.bundle/Info.plist
    ${LIBDIR}/tarvikdns/TarvikDNS.bundle/TarvikDNS.plist ${LIBDIR}/tarvikdns/TarvikDNS.dylib
    ${DATADIR}/tarvikdns/dnscrypt-proxy/com.opendns.DNSCryptProxy.plist
    ${DATADIR}/tarvikdns/dnscrypt-proxy/dnscrypt-resolvers.csv
    ${DATADIR}/tarvikdns/com.tarvik.dns.netwardd.plist
    lib/systemd/system/netwardd.service lib/systemd/system/tarvikdns-bridge.service
)
set(missing)
foreach(file IN LISTS expected)
    if(NOT EXISTS ${PREFIX}/${file})
        list(APPEND missing ${file})
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "not installed: ${missing}")
endif()

file(STRINGS ${PREFIX}/lib/systemd/system/netwardd.service unit)
foreach(line "ExecStart=${PREFIX}/${BINDIR}/netwardd" "Environment=TARVIKDNS_DEVICE_ROOT=/var/lib/tarvikdns/machine"
             "Type=simple" "Restart=on-failure" "RestartSec=2" "After=local-fs.target tarvikdns-bridge.service")
    if(NOT line IN_LIST unit)
        message(FATAL_ERROR "the unit has no line \"${line}\":\n${unit}")
    endif()
endforeach()
file(STRINGS ${PREFIX}/lib/systemd/system/tarvikdns-bridge.service unit)
foreach(line "ExecStart=${PREFIX}/${BINDIR}/resolved-bridge" "Environment=TARVIKDNS_DEVICE_ROOT=/var/lib/tarvikdns/machine"
             "After=systemd-resolved.service dbus.service" "Restart=on-failure" "ProtectSystem=strict")
    if(NOT line IN_LIST unit)
        message(FATAL_ERROR "the bridge's unit has no line \"${line}\":\n${unit}")
    endif()
endforeach()

file(READ ${PREFIX}/${DATADIR}/tarvikdns/com.tarvik.dns.netwardd.plist list)
foreach(pattern "<key>Label</key>[ \t\n]*<string>com.tarvik.dns.netwardd</string>"
                "<key>ProgramArguments</key>[ \t\n]*<array>[ \t\n]*<string>/usr/libexec/netwardd</string>[ \t\n]*</array>"
                "<key>RunAtLoad</key>[ \t\n]*<true/>" "<key>KeepAlive</key>[ \t\n]*<true/>")
    if(NOT list MATCHES "${pattern}")
        message(FATAL_ERROR "the launch-daemon list does not match ${pattern}:\n${list}")
    endif()
endforeach()

# The installed scutil on a device of its own, inside the prefix (never the machine's root).
file(MAKE_DIRECTORY ${PREFIX}/device)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH TARVIKDNS_DEVICE_ROOT=${PREFIX}/device
                        ${PREFIX}/${BINDIR}/scutil --list
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE error)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the installed scutil does not run (${status}): ${error}")
endif()

file(REMOVE_RECURSE ${PREFIX})
