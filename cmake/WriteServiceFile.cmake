# Writes a D-Bus activation file whose Exec names its program by absolute
# path: for the build tree when configured, for the prefix when installed
# (the prefix is known only then: cmake --install --prefix ~/.local).
#
# In: TROVIX_SERVICE_TEMPLATE (the file with @TROVIX_SERVICE_EXEC@),
#     TROVIX_SERVICE_PROGRAM (the program, without DESTDIR),
#     TROVIX_SERVICE_FILE (where the file goes, DESTDIR included).
#
# The bus splits Exec into words as a shell does, so the program is quoted (a
# prefix may have a space): inside the double quotes '"', '`', '$' and '\'
# take a backslash, and the key's string escaping then doubles every
# backslash. Activation files have no field codes: '%' stays as it is.
set(exec "${TROVIX_SERVICE_PROGRAM}")
string(REPLACE "\\" "\\\\\\\\" exec "${exec}")
string(REPLACE "\"" "\\\\\"" exec "${exec}")
string(REPLACE "`" "\\\\`" exec "${exec}")
string(REPLACE "$" "\\\\$" exec "${exec}")
set(TROVIX_SERVICE_EXEC "\"${exec}\"")
configure_file("${TROVIX_SERVICE_TEMPLATE}" "${TROVIX_SERVICE_FILE}" @ONLY)
