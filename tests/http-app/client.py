# One request through http.client, described as JSON on standard output: status, reason,
# headers as received, the body, the Date header read back as a date, and for a multipart
# body its tree as Python's email parser reads it.
#
#   python3 client.py PORT METHOD PATH < body
import email, email.utils, http.client, json, sys


def tree(message):
    node = {'headers': [[name, value] for name, value in message.items()]}
    if message.is_multipart():
        node['parts'] = [tree(part) for part in message.get_payload()]
    else:
        node['body'] = message.get_payload(decode=True).decode('utf-8')
    return node


port, method, path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
body = sys.stdin.buffer.read()
connection = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
connection.request(method, path, body=body or None,
                   headers={'Content-Type': 'application/json'} if body else {})
reply = connection.getresponse()
data = reply.read()
out = {'status': reply.status, 'reason': reply.reason, 'headers': reply.getheaders(),
       'body': data.decode('utf-8')}
date = reply.getheader('Date')
if date:
    out['date'] = email.utils.parsedate_to_datetime(date).isoformat()
content_type = reply.getheader('Content-Type', '')
if content_type.startswith('multipart/'):
    message = email.message_from_bytes(
        b'Content-Type: ' + content_type.encode() + b'\r\n\r\n' + data)
    out['mime'] = tree(message)
    out['defects'] = [str(d) for part in message.walk() for d in part.defects]
print(json.dumps(out))
