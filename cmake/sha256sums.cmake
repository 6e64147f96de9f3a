# Writes DIR/SHA256SUMS for FILES (names in DIR), in the format that
# `sha256sum -c` reads: the hash, two spaces, the name.
# On Windows: Get-FileHash -Algorithm SHA256 gives the same hashes.
set(sums "")
foreach(name IN LISTS FILES)
    file(SHA256 "${DIR}/${name}" hash)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${DIR}/SHA256SUMS" "${sums}")
