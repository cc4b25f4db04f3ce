from tarnvel._internal.api_logic import InternalClass

client = InternalClass()
client.validate_token(42)
client.search_query("token")
count: int = client.validate_token("token")
