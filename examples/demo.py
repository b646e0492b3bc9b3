"""A short tour of the module: headers and URLs."""

from wirelet import __version__
from wirelet import _wirelet as w
from wirelet.http import HeaderMap


def main() -> None:
    print(f"wirelet {__version__}")
    headers = HeaderMap([("Host", "example.com"), ("Accept", "text/html"), ("accept", "*/*")])
    print("headers:", headers)
    print("accept values:", headers.get_all("ACCEPT"))
    for url in ["http://example.com/index.html", "https://[::1]:8443/api?q=1", "example.org:8080", "/only/a/path"]:
        print(f"uri_parts({url!r}) = {w.uri_parts(url)}")
    print("date:", w.http_date().decode())


if __name__ == "__main__":
    main()
