# Sourced by the host's interop tests: with `p11` (pkcs11-tool on the test's
# token), ec_sign_and_verify PIN makes an EC P-256 key, signs a digest with
# it and has OpenSSL verify the signature with the key's public half.
ec_sign_and_verify() {
  p11 --login --pin "$1" --keypairgen --key-type EC:prime256v1 --id 01 --label hosted-key >/dev/null
  p11 --read-object --type pubkey --id 01 -o ec.der >/dev/null
  openssl pkey -pubin -inform DER -in ec.der -out ec.pub
  head -c 3000 /dev/urandom >data.bin
  openssl dgst -sha256 -binary data.bin >data.sha256
  p11 --login --pin "$1" --sign --mechanism ECDSA --id 01 --signature-format openssl -i data.sha256 -o ec.sig
  openssl pkeyutl -verify -pubin -inkey ec.pub -in data.sha256 -sigfile ec.sig
}
