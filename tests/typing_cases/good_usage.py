from tarnvel._internal.api_logic import InternalClass

client = InternalClass()
status: str = client.validate_token("token")
results: str = client.search_query(token="token", query="query")
