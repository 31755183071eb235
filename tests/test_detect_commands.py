"""Credentials that command lines and credential files key by an option or a
field (detect/commands.cpp): masked exactly, and their look-alikes kept."""

import pytest

from zentrove import DETECTORS, Redactor

KEY_VALUE = Redactor(omit=["password"], detect=["key_value"])


@pytest.mark.parametrize(
    "text, expected",
    [
        # A mysql-like client's -p takes its password glued; alone it prompts.
        ("mysql -u root -phunter2 -h db shop", "mysql -u root -p******* -h db shop"),
        ("mariadb-dump -uroot -p'a b' shop", "mariadb-dump -uroot -p'***' shop"),
        ('{"cmd": "/usr/bin/mysqladmin -px status"}', '{"cmd": "/usr/bin/mysqladmin -p* status"}'),
        ("['mysql', '-u', 'root', '-ps3c']", "['mysql', '-u', 'root', '-p***']"),
        ("ssh -p 22 h; mysql -pX", "ssh -p 22 h; mysql -p*"),
        # --password and --passwd with a blank; with '=' the key rules judge.
        (
            "backup --user admin --password hunter2 --target s3://b",
            "backup --user admin --password ******* --target s3://b",
        ),
        ("ldapsearch --passwd Tr0ub4dor -b dc=x", "ldapsearch --passwd ********* -b dc=x"),
        ("x --password 'two words' y", "x --password '*********' y"),
        ("run --password secret", "run --password ******"),
        # curl's user:password: the part after the first ':'.
        (
            "curl -u deploy:s3cr3tPass https://ci.example.com/api",
            "curl -u deploy:********** https://ci.example.com/api",
        ),
        ("curl -s --user 'ci:a:b' x", "curl -s --user 'ci:***' x"),
        ("curl --user=ci:pw -udeploy:pw2 x", "curl --user=ci:** -udeploy:*** x"),
        # A user name quoted alone: the password after its quote.
        ('curl --user=\'ci\':pw4 -u "a":"b c" x', 'curl --user=\'ci\':*** -u "a":"***" x'),
        ("curl --proxy-user p:q -U r:s x", "curl --proxy-user p:* -U r:* x"),
        # sshpass's own -p, not the -p of the command it runs.
        ("sshpass -p pw4ssh! ssh -p 22 ops@h", "sshpass -p ******* ssh -p 22 ops@h"),
        ("sshpass -v -p'a b' ssh h", "sshpass -v -p'***' ssh h"),
        # The LDAP tools' -w.
        ("ldapsearch -x -D cn=admin -w s3c -b dc=x", "ldapsearch -x -D cn=admin -w *** -b dc=x"),
        ("ldapmodify -wS3c -f a.ldif", "ldapmodify -w*** -f a.ldif"),
        # .netrc on one line or several, from `machine` or `default`.
        (
            "machine api.example.com login deploy password netrcPw42",
            "machine api.example.com login deploy password *********",
        ),
        ("default login u password p", "default login u password *"),
        (
            "machine h\n  login u\n  account a\n  password p\n",
            "machine h\n  login u\n  account a\n  password *\n",
        ),
        ('machine h password "p q"', 'machine h password "***"'),
        # .pgpass: whole lines of five fields.
        ("db.internal:5432:shop:app:pgpassPw7", "db.internal:5432:shop:app:*********"),
        (
            "# pgpass\n*:*:*:app:p\\:w \n10.0.0.5:5432:*:u:x",
            "# pgpass\n*:*:*:app:**** \n10.0.0.5:5432:*:u:*",
        ),
    ],
)
def test_credentials_are_masked_exactly(text, expected):
    assert KEY_VALUE.scan(text) == expected
    assert KEY_VALUE.report({"m": text}) == [(("m",), "key_value")]


@pytest.mark.parametrize(
    "text",
    [
        # -p is a port, a flag or a prompt elsewhere.
        "ssh -p 22 host && docker run -p 8080:80 img && mkdir -p dir && cp -p a b",
        "mysql -u root -p -h db shop",
        "mysql -u root | gzip -pX; echo mysql; ssh -pX",
        "mysqlx.log -pX my-mysql -pY",
        "sshpass -f file ssh -p 22 h",
        "docker run -p8080:80 img mysql",
        # -u means user:password only for curl, and only with a ':'.
        "curl -u deploy https://h curl -u user: x",
        "psql -U app -h db; ls -u a:b",
        # -w elsewhere, or with no value.
        "grep -w word f; ldapsearch -W -x; ldapadd -w",
        # --password without a value, or prose around it.
        "--password --host db",
        "x --password",
        "but --password suffers from the same",
        "given by the --username and --password options\nsee --password or --passwd",
        "parser.add_argument('--password', help='x') --passwords x",
        # Not .netrc.
        "the default password is admin; failed login attempt password reset",
        "machine h login u passwords x",
        # Not .pgpass: times, other fields, a sixth field, or mid-line.
        "10:22:33\n10:22:33:44:55\na:b:c:d:e\nh:5432:d:u:p:x\nh:123456:d:u:p\nINFO h:5432:d:u:p",
        "h:5432:d:u:two words\nh:5432::u:p\n12:345:6:7:8",
    ],
)
def test_look_alikes_stay(text):
    assert KEY_VALUE.scan(text) is text


def test_a_value_under_a_key_starts_its_own_line():
    # Values under some keys are scanned joined to them, as `key=value`.
    data = {"a.b": "db:5432:shop:app:pw", "c-d": "machine h password p", "e.f": "sshpass -p x y"}
    assert KEY_VALUE.redacted(data) == {
        "a.b": "db:5432:shop:app:**",
        "c-d": "machine h password *",
        "e.f": "sshpass -p * y",
    }


def test_nothing_is_masked_without_the_key_value_detector():
    text = "mysql -px; curl -u a:b x; sshpass -p y z\nmachine h password p\nh:1:d:u:p"
    others = [d for d in DETECTORS if d != "key_value"]
    assert Redactor(omit=["password"], detect=others).scan(text) is text
    assert Redactor(omit=[], detect=["key_value"]).scan(text) == (
        "mysql -p*; curl -u a:* x; sshpass -p * z\nmachine h password *\nh:1:d:u:*"
    )
