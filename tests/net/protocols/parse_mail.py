"""Parses a mail file with Python's standard email package and prints what
it understood as JSON: decoded headers, the parts with their decoded bytes
(hex), and every defect the parser reported."""
import email
import email.policy
import json
import sys

with open(sys.argv[1], "rb") as f:
    msg = email.message_from_binary_file(f, policy=email.policy.default)

out = {
    "headers": {k: str(v) for k, v in msg.items()},
    "defects": [repr(d) for d in msg.defects],
    "parts": [],
}
for part in msg.walk():
    out["defects"] += [repr(d) for d in part.defects]
    if part.is_multipart():
        continue
    payload = part.get_payload(decode=True)
    out["parts"].append({
        "type": part.get_content_type(),
        "charset": part.get_content_charset(),
        "filename": part.get_filename(),
        "encoding": part.get("Content-Transfer-Encoding"),
        "hex": payload.hex(),
    })
print(json.dumps(out))
