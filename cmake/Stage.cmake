# The build tree lays out the same bundle as an installation, so the program runs uninstalled:
#   stage/bin/vantrel-vpn
#   stage/libexec/vantrel-vpn/{vantrel-core,vantrel-helper}
#   stage/share/vantrel-vpn/{default_config.json,geosite.dat,geoip.metadb}
set(VANTREL_STAGE_DIR "${CMAKE_BINARY_DIR}/stage")
set(VANTREL_STAGE_BIN "${VANTREL_STAGE_DIR}/bin")
set(VANTREL_STAGE_LIBEXEC "${VANTREL_STAGE_DIR}/libexec/vantrel-vpn")
set(VANTREL_STAGE_SHARE "${VANTREL_STAGE_DIR}/share/vantrel-vpn")
file(MAKE_DIRECTORY "${VANTREL_STAGE_BIN}" "${VANTREL_STAGE_LIBEXEC}" "${VANTREL_STAGE_SHARE}")

set(VANTREL_INSTALL_LIBEXEC "libexec/vantrel-vpn")
set(VANTREL_INSTALL_SHARE "share/vantrel-vpn")

function(vantrel_stage_in target folder)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${folder}")
endfunction()
