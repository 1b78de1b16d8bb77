-- Incremental: the first run copies every order; later runs copy only orders changed since the
-- newest one already loaded, and merge them on order_id.
{{ config(materialized='incremental', unique_key='order_id', incremental_strategy='merge') }}
select
    order_id,
    customer_id,
    status,
    amount,
    updated_at
from {{ source('sales', 'orders') }}
{% if is_incremental() %}
where updated_at > (select max(updated_at) from {{ this }})
{% endif %}
