# The publisher's public keys compiled into a program, and the simulated twins' test key pair.
# Each key is a PEM public key (what `tolvarin-tool key new --public` writes); openssl checks it
# here (a P-256 point on the curve: Wine's CNG would import one off it without complaint).

set(TOLVARIN_PUBLIC_KEYS "" CACHE STRING
    "PEM public keys (';'-separated) that tolvarin and tolvarin.exe verify publications with; empty: a keyless build that fetches no record")

# The DER prefix of every P-256 public key (SubjectPublicKeyInfo up to the point's 04 byte).
set(P256_SPKI_PREFIX "3059301306072a8648ce3d020106082a8648ce3d03010703420004")

# Writes `out`, a source defining BUILT_IN_KEYS and BUILT_IN_KEY_COUNT from the PEM files after it.
function(tolvarin_public_keys_source out)
  set(rows "")
  set(count 0)
  foreach(pem IN LISTS ARGN)
    get_filename_component(pem "${pem}" ABSOLUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${pem}")
    execute_process(COMMAND openssl pkey -pubin -in "${pem}" -pubcheck -noout
                    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE why)
    if(NOT failed)
      execute_process(COMMAND openssl pkey -pubin -in "${pem}" -outform DER -out "${out}.der"
                      RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE why)
    endif()
    if(failed)
      message(FATAL_ERROR "${pem}: not a public key on its curve (openssl: ${why})")
    endif()
    file(READ "${out}.der" der HEX)
    file(REMOVE "${out}.der")
    if(NOT der MATCHES "^${P256_SPKI_PREFIX}([0-9a-f]+)$")
      message(FATAL_ERROR "${pem}: not an ECDSA P-256 public key")
    endif()
    set(point "${CMAKE_MATCH_1}")
    string(LENGTH "${point}" digits)
    if(NOT digits EQUAL 128)
      message(FATAL_ERROR "${pem}: the point is not 64 bytes")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${point}")
    string(APPEND rows "    {${bytes}},  // ${pem}\n")
    math(EXPR count "${count} + 1")
  endforeach()
  if(count EQUAL 0)
    set(body "const uint8_t (*const BUILT_IN_KEYS)[P256_PUBLIC_KEY_BYTES] = nullptr;\n")
  else()
    set(body "static const uint8_t KEYS[][P256_PUBLIC_KEY_BYTES] = {\n${rows}};\n")
    string(APPEND body "const uint8_t (*const BUILT_IN_KEYS)[P256_PUBLIC_KEY_BYTES] = KEYS;\n")
  endif()
  file(CONFIGURE OUTPUT "${out}" CONTENT
"// The public keys of this program, made by the build from TOLVARIN_PUBLIC_KEYS: do not edit.
#include \"files/public_keys.h\"

@body@const int BUILT_IN_KEY_COUNT = @count@;
" @ONLY)
endfunction()

# The simulated twins' test key pair, made once per build tree and never committed: tests and
# scripts sign with test-key/private.pem.
set(TOLVARIN_TEST_KEY_DIR "${CMAKE_BINARY_DIR}/test-key")
set(TOLVARIN_TEST_PRIVATE_KEY "${TOLVARIN_TEST_KEY_DIR}/private.pem")
set(TOLVARIN_TEST_PUBLIC_KEY "${TOLVARIN_TEST_KEY_DIR}/public.pem")
if(NOT EXISTS "${TOLVARIN_TEST_PUBLIC_KEY}")
  file(MAKE_DIRECTORY "${TOLVARIN_TEST_KEY_DIR}")
  execute_process(
      COMMAND openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256
              -out "${TOLVARIN_TEST_PRIVATE_KEY}"
      COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${TOLVARIN_TEST_PRIVATE_KEY}" PERMISSIONS OWNER_READ OWNER_WRITE)
  execute_process(
      COMMAND openssl pkey -in "${TOLVARIN_TEST_PRIVATE_KEY}" -pubout
              -out "${TOLVARIN_TEST_PUBLIC_KEY}"
      COMMAND_ERROR_IS_FATAL ANY)
endif()
