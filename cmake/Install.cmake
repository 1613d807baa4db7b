# Installation: `cmake --install BUILD --prefix PREFIX` lays TarvikDNS out for a Linux machine.
#
#   PREFIX/bin/                          netwardd and the device's programs beside it (the device shell
#                                        finds scutil and launchctl in the folder of the running program)
#   PREFIX/lib/                          the platform's shared libraries
#   PREFIX/lib/tarvikdns/                TarvikDNS.bundle (a folder) and TarvikDNS.dylib
#   PREFIX/share/tarvikdns/              the launch-daemon list for netwardd on a device, and the stand-in
#                                        DNSCrypt proxy package (dnscrypt-proxy/)
#   PREFIX/lib/systemd/system/           netwardd.service and tarvikdns-bridge.service
#
# ("lib" is CMAKE_INSTALL_LIBDIR, which some systems name otherwise; systemd's folder is always "lib".)

set(TARVIKDNS_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/tarvikdns)
set(TARVIKDNS_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tarvikdns)

set(tarvikdns_platform_libraries
    platform_foundation
    platform_corefoundation
    platform_systemconfiguration
    platform_launchd
    platform_shell
    platform_uikit
    platform_preferences
    platform_objc
)
install(TARGETS ${tarvikdns_platform_libraries} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
set_target_properties(${tarvikdns_platform_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")

set(tarvikdns_programs netwardd scutil launchctl notifyutil dnscrypt-proxy springboard-host resolved-bridge)
if(TARGET tarvikdns-device)
    list(APPEND tarvikdns_programs tarvikdns-device)
endif()
install(TARGETS ${tarvikdns_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The plug-ins are loaded by hosts that have the platform loaded already; their run paths only make
# them loadable on their own too.
install(TARGETS tarvikdns_bundle LIBRARY DESTINATION ${TARVIKDNS_INSTALL_PLUGINDIR}/TarvikDNS.bundle)
install(FILES ${PROJECT_SOURCE_DIR}/pane/Info.plist ${PROJECT_SOURCE_DIR}/pane/TarvikDNS.plist
        DESTINATION ${TARVIKDNS_INSTALL_PLUGINDIR}/TarvikDNS.bundle)
set_target_properties(tarvikdns_bundle PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
install(TARGETS tarvikdns_dylib LIBRARY DESTINATION ${TARVIKDNS_INSTALL_PLUGINDIR})
set_target_properties(tarvikdns_dylib PROPERTIES INSTALL_RPATH "$ORIGIN/..")

install(FILES ${PROJECT_SOURCE_DIR}/tools/dnscrypt-proxy/com.opendns.DNSCryptProxy.plist
              ${PROJECT_SOURCE_DIR}/tools/dnscrypt-proxy/dnscrypt-resolvers.csv
        DESTINATION ${TARVIKDNS_INSTALL_DATADIR}/dnscrypt-proxy)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/com.tarvik.dns.netwardd.plist DESTINATION ${TARVIKDNS_INSTALL_DATADIR})
# The device program's guided tour.
install(FILES ${PROJECT_SOURCE_DIR}/tools/device/tour.txt DESTINATION ${TARVIKDNS_INSTALL_DATADIR})

# The units name their programs by full path, which is known only when installing: `--prefix` may differ
# from the prefix the build was configured with. They are made then, and installed like any other file.
set(tarvikdns_units ${CMAKE_BINARY_DIR}/install/netwardd.service ${CMAKE_BINARY_DIR}/install/tarvikdns-bridge.service)
install(CODE "
    if(IS_ABSOLUTE \"${CMAKE_INSTALL_BINDIR}\")
        set(tarvikdns_bindir \"${CMAKE_INSTALL_BINDIR}\")
    else()
        set(tarvikdns_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    endif()
    set(TARVIKDNS_NETWARDD_PATH \"\${tarvikdns_bindir}/netwardd\")
    set(TARVIKDNS_BRIDGE_PATH \"\${tarvikdns_bindir}/resolved-bridge\")
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/netwardd.service.in\" \"${CMAKE_BINARY_DIR}/install/netwardd.service\" @ONLY)
    configure_file(\"${CMAKE_CURRENT_LIST_DIR}/tarvikdns-bridge.service.in\" \"${CMAKE_BINARY_DIR}/install/tarvikdns-bridge.service\" @ONLY)
")
install(FILES ${tarvikdns_units} DESTINATION lib/systemd/system)
