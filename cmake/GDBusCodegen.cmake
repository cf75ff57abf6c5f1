# SPDX-License-Identifier: GPL-3.0-or-later
# orvo_gdbus_skeleton(VAR NAME XML PREFIX NAMESPACE): generates NAME.c and
# NAME.h in the current binary folder from the interface XML with
# gdbus-codegen (libglib2.0-dev-bin); VAR receives both paths.
function(orvo_gdbus_skeleton var name xml prefix namespace)
  pkg_get_variable(GDBUS_CODEGEN gio-2.0 gdbus_codegen)
  set(skeleton ${CMAKE_CURRENT_BINARY_DIR}/${name})
  add_custom_command(
    OUTPUT ${skeleton}.c ${skeleton}.h
    COMMAND ${GDBUS_CODEGEN} --interface-prefix ${prefix} --c-namespace ${namespace} --glib-min-required 2.74
            --generate-c-code ${skeleton} ${CMAKE_CURRENT_SOURCE_DIR}/${xml}
    DEPENDS ${xml}
    COMMENT "Generating ${name}")
  set(${var} ${skeleton}.c ${skeleton}.h PARENT_SCOPE)
endfunction()
