"""Mail clients for the tests that run corvel95: smtplib to send, poplib to log
in. Only 127.0.0.1 is ever contacted.

  mail_client.py send PORT FROM TO COUNT   COUNT messages in one session; exit 0
                                           when all were taken, 2 when the
                                           recipient was refused, 1 otherwise
  mail_client.py pop PORT USER PASSWORD    prints the number of messages; exit 3
                                           when the login is refused
"""
import poplib
import smtplib
import sys


def send(port, sender, rcpt, count):
    try:
        with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
            for n in range(count):
                s.sendmail(sender, [rcpt], "Subject: note %d\r\n\r\nbody %d\r\n" % (n, n))
    except smtplib.SMTPRecipientsRefused as e:
        print("refused", e.recipients)
        return 2
    return 0


def pop(port, user, password):
    p = poplib.POP3("127.0.0.1", port, timeout=20)
    try:
        p.user(user)
        p.pass_(password)
    except poplib.error_proto as e:
        print("refused", e)
        return 3
    count, _ = p.stat()
    p.quit()
    print(count)
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "send":
        sys.exit(send(int(sys.argv[2]), sys.argv[3], sys.argv[4], int(sys.argv[5])))
    sys.exit(pop(int(sys.argv[2]), sys.argv[3], sys.argv[4]))
