# The Debian package `cachenode`: the tools, the library with its development
# files (header, SONAME symlinks, pkg-config file), the systemd units of the
# reporter, the front end, the dispatch listener and the balancer with example
# configurations for them, the manual pages, the reference nginx front end and
# the balancer's HAProxy template (frontend/ and balancer/CMakeLists.txt
# install them).
# Included at the end of the top-level CMakeLists.txt; `cpack -G DEB` in the
# build directory makes the package.

set(NODE_PKG_SRC ${CMAKE_CURRENT_LIST_DIR})
set(NODE_PKG_GEN ${CMAKE_BINARY_DIR}/packaging)

# The package must hold both programs in bin/ whatever their own directories
# install; installing a target a second time to the same place is harmless.
foreach(strProgram vesko_c fetchwrap)
  if(TARGET ${strProgram})
    install(TARGETS ${strProgram} RUNTIME DESTINATION bin)
  endif()
endforeach()

# The pkg-config file and the unit name absolute paths. They are filled in when
# the install runs, from the prefix of that install, so that the package
# (prefix /usr) and `cmake --install --prefix P` both get paths that hold where
# the files land. The configuration lives in /etc for prefix /usr, else P/etc.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(prefix STREQUAL \"/usr\")
    set(sysconfdir /etc)
  else()
    set(sysconfdir \"\${prefix}/etc\")
  endif()
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${NODE_PKG_SRC}/cachekit.pc.in\" \"${NODE_PKG_GEN}/cachekit.pc\" @ONLY)
  foreach(strUnit vesko_c cachenode-frontend cachenode-dispatch cachenode-balancer)
    configure_file(\"${NODE_PKG_SRC}/\${strUnit}.service.in\" \"${NODE_PKG_GEN}/\${strUnit}.service\" @ONLY)
  endforeach()
")
install(FILES ${NODE_PKG_GEN}/cachekit.pc DESTINATION lib/pkgconfig)
install(FILES ${NODE_PKG_GEN}/vesko_c.service ${NODE_PKG_GEN}/cachenode-frontend.service
              ${NODE_PKG_GEN}/cachenode-dispatch.service ${NODE_PKG_GEN}/cachenode-balancer.service
        DESTINATION lib/systemd/system)
install(FILES ${NODE_PKG_SRC}/vesko_c.ini ${NODE_PKG_SRC}/cachenode_alerts.yml
              ${NODE_PKG_SRC}/prometheus-fleet.yml ${NODE_PKG_SRC}/cachenode_fleet_rules.yml
        DESTINATION share/doc/cachenode/examples)
# postinst copies these to /etc/cachenode/frontend.conf, balancer.conf,
# balancer.nodes and /etc/default/cachenode-dispatch when those do not exist;
# the package itself holds nothing outside /usr.
install(FILES ${NODE_PKG_SRC}/frontend.conf ${NODE_PKG_SRC}/cachenode-dispatch.default
              ${NODE_PKG_SRC}/balancer.conf ${NODE_PKG_SRC}/balancer.nodes
        DESTINATION share/doc/cachenode/examples)
install(PROGRAMS ${NODE_PKG_SRC}/certbot-deploy-hook DESTINATION share/doc/cachenode/examples)
# postinst copies this to /etc/logrotate.d/cachenode-frontend when that does
# not exist.
install(FILES ${NODE_PKG_SRC}/cachenode-frontend.logrotate DESTINATION share/cachenode/logrotate.d
        RENAME cachenode-frontend)

install(FILES ${NODE_PKG_SRC}/man/vesko_c.1 ${NODE_PKG_SRC}/man/fetchwrap.1
              ${NODE_PKG_SRC}/man/cachekit.1 ${NODE_PKG_SRC}/man/dispatch_listen.1
        DESTINATION share/man/man1)
install(FILES ${NODE_PKG_SRC}/man/cachenode-frontend.8 ${NODE_PKG_SRC}/man/cachenode-balancer.8
        DESTINATION share/man/man8)
# One page for the library; each export's name leads to it through a .so link.
set(NODE_MAN3 ${NODE_PKG_SRC}/man/cachekit.3)
foreach(strExport fileExist md5data md5file uri2d checkdisk getmsgip)
  file(WRITE ${NODE_PKG_GEN}/man3/${strExport}.3 ".so man3/cachekit.3\n")
  list(APPEND NODE_MAN3 ${NODE_PKG_GEN}/man3/${strExport}.3)
endforeach()
install(FILES ${NODE_MAN3} DESTINATION share/man/man3)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cachenode)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "cachenode developers <cachenode@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "video cache node tools: status reporter, cache library, download wrapper, front end")
set(CPACK_PACKAGE_DESCRIPTION
"vesko_c reports the node's public interfaces and their traffic rates to
dispatch servers over UDP (systemd unit vesko_c.service); libcachekit maps
request URLs to cache directories, digests data, guards free disk space and
resolves host names, for a host process that loads it; fetchwrap fetches one
URL through the outside transfer client kelpclient; cachekit asks the library
questions from a shell. share/cachenode/frontend holds a reference front end
for nginx with its Lua module that serves the cache through the library, run
as cachenode-frontend.service from /etc/cachenode/frontend.conf. On a dispatch
server, dispatch_listen (cachenode-dispatch.service) receives the reports and
writes them for prometheus-node-exporter's textfile collector. In front of a
fleet of nodes, cachenode-balancer.service runs HAProxy with a consistent hash
of the URL over the nodes of /etc/cachenode/balancer.nodes.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install step must see the prefix /usr itself (not a staging path), or the
# pkg-config file and the unit would name the staging directory.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# checkdisk's removal commands use find, xargs and date (essential packages);
# curl is needed only when a notification URL is configured.
# logrotate rotates the front end's logs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "curl, logrotate")
# The reference front end runs on Debian's nginx and its Lua module (with
# lua-cjson for the signed URLs' tokens and keys); the
# dispatch listener writes for node_exporter's textfile collector; the
# balancer of a fleet is Debian's HAProxy; certbot gets the certificates.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nginx, libnginx-mod-http-lua, lua-cjson, prometheus-node-exporter, haproxy, certbot")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${NODE_PKG_SRC}/debian/postinst ${NODE_PKG_SRC}/debian/prerm ${NODE_PKG_SRC}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
