"""tarnel's release chain: build a commit in a clean copy, pack and sign its release, and verify a download
by making it again. One package, split by concern; scripts/release.sh, verify.sh and sign.sh call it."""
