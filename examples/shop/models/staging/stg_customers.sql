-- One remote source (the CRM's SQLite file): copied into the cache, built there, loaded into the
-- warehouse.
select
    id as customer_id,
    name as customer_name,
    upper(country) as country,
    signed_up
from {{ source('crm', 'customers') }}
