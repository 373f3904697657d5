# Run by `cmake --install`: writes one desktop entry whose Exec names its
# program by absolute path, so the menu and the desktop's search box start it
# when the prefix's bin folder is not on the PATH. The prefix is known only
# now (cmake --install --prefix ~/.local), hence no build-time copy.
#
# In: TROVIX_ENTRY_TEMPLATE (the entry with @TROVIX_DESKTOP_EXEC@),
#     TROVIX_ENTRY_PROGRAM (the installed program, without DESTDIR),
#     TROVIX_ENTRY_FILE (where the entry goes, DESTDIR included).
#
# The program is quoted as the Exec key requires: inside double quotes '"',
# '`', '$' and '\' take a backslash; the key's string escaping then doubles
# every backslash; '%' is doubled as it would start a field code.
set(exec "${TROVIX_ENTRY_PROGRAM}")
string(REPLACE "\\" "\\\\\\\\" exec "${exec}")
string(REPLACE "\"" "\\\\\"" exec "${exec}")
string(REPLACE "`" "\\\\`" exec "${exec}")
string(REPLACE "$" "\\\\$" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(TROVIX_DESKTOP_EXEC "\"${exec}\"")
message(STATUS "Installing: ${TROVIX_ENTRY_FILE}")
configure_file("${TROVIX_ENTRY_TEMPLATE}" "${TROVIX_ENTRY_FILE}" @ONLY)
# configure_file bypasses install(), so the manifest (and uninstalling by it)
# would miss the entry.
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${TROVIX_ENTRY_FILE}")
